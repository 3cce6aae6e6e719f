// What an application sees: it finds the pipe driver's interface, opens it with a pipe name appended
// and moves data with ReadFile, WriteFile and DeviceIoControl; refusals arrive as Win32 errors.
#include "pipe_machine.h"
#include "tarvel/user.h"

namespace pipetest {
namespace {

using namespace tarvel::user;

class ApplicationTest : public PipeMachine {
protected:
    HANDLE OpenByInterface(const std::string& pipeName) {
        const auto paths = EnumerateDeviceInterfaces(GUID_DEVINTERFACE_USB_PIPES);
        if (paths.size() != 1) return INVALID_HANDLE_VALUE;
        return CreateFileA((paths[0] + pipeName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    }
};

TEST_F(ApplicationTest, OpensPipesThroughTheInterfaceAndMovesData) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    HANDLE out = OpenByInterface("\\PIPE00");
    HANDLE in = OpenByInterface("\\EA81");
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenByInterface("\\PIPE00"), INVALID_HANDLE_VALUE) << "open through another handle";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    const char text[] = "a line of data for the device";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out, text, sizeof(text), &written, nullptr));
    EXPECT_EQ(written, sizeof(text));
    EXPECT_EQ(device.out, Bytes(text, text + sizeof(text)));

    device.QueueIn(Bytes{'o', 'k'});
    char reply[64] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(in, reply, sizeof(reply), &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(std::string(reply, 2), "ok");

    ULONG packet = 0;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(in, IOCTL_PIPE_GET_MAX_PACKET_SIZE, nullptr, 0, &packet, sizeof(packet), &returned,
                                nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(packet, 64u);

    // The port driver's form of a data write, from an application.
    ASSERT_TRUE(DeviceIoControl(out, IOCTL_PIPE_WRITE_BUFFERED, const_cast<char*>(text), 5, nullptr, 0, &returned,
                                nullptr));
    EXPECT_EQ(returned, 5u);

    CloseHandle(out);
    CloseHandle(in);
    out = OpenByInterface("\\PIPE00");
    EXPECT_NE(out, INVALID_HANDLE_VALUE) << "closed pipes open again";
    CloseHandle(out);
}

TEST_F(ApplicationTest, RefusalsArriveAsWin32Errors) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    EXPECT_EQ(OpenByInterface("\\PIPE09"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE device_handle = OpenByInterface("");
    ASSERT_NE(device_handle, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(device_handle, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "no pipe bound";
    EXPECT_FALSE(DeviceIoControl(device_handle, 0x00230010, nullptr, 0, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "function 4 is not defined";

    HANDLE in = OpenByInterface("\\PIPE01");
    ASSERT_TRUE(DeviceIoControl(in, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0, &count, nullptr));
    EXPECT_FALSE(ReadFile(in, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY)) << "powered down";
    ASSERT_TRUE(DeviceIoControl(in, IOCTL_PIPE_RESUME_DEVICE, nullptr, 0, nullptr, 0, &count, nullptr));
    CloseHandle(in);
    CloseHandle(device_handle);
}

}  // namespace
}  // namespace pipetest
