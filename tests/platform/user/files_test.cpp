// Opening devices, synchronous reads, writes and device control, closing, and enumeration.
#include <cstring>

#include "pnp_fixture.h"
#include "tarvel/user.h"

namespace tarvel::testing {
namespace {

using namespace tarvel::user;

class Files : public PlatformTest {
  protected:
    pnp::DeviceNode* InstallRecorder(std::vector<io::RegistryValue> values = {}) {
        values.push_back(DwordValue("Index", 7));
        return Install(Description(std::move(values), false));
    }
    HANDLE Open(const char* path, DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0) {
        return CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
};

class FilesByMethod : public Files, public ::testing::WithParamInterface<bool> {};

TEST_P(FilesByMethod, WrittenBytesComeBackThroughReadsWhateverTheBufferMethod) {
    InstallRecorder({DwordValue("DirectIo", GetParam() ? 1 : 0)});
    recording_.Clear();
    HANDLE file = Open("\\\\.\\PNPREC7");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD moved = 99;
    ASSERT_TRUE(WriteFile(file, "hello, port", 11, &moved, nullptr));
    EXPECT_EQ(moved, 11u);
    char buffer[8] = {};
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &moved, nullptr));
    EXPECT_EQ(moved, 8u);
    EXPECT_EQ(std::string(buffer, 8), "hello, p");
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &moved, nullptr));
    EXPECT_EQ(std::string(buffer, moved), "ort");
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(recording_.Take("func:"),
              (std::vector<std::string>{"func:Create:0x00", "func:Write:0x0b", "func:Read:0x08", "func:Read:0x08",
                                        "func:Cleanup", "func:Close"}));
}

INSTANTIATE_TEST_SUITE_P(BufferedAndDirect, FilesByMethod, ::testing::Bool());

TEST_F(Files, PathsResolveThroughDosDevicesAndInterfaceLinksWithTheRestAsFileName) {
    InstallRecorder();
    recording_.Clear();
    const GUID recorderInterface = RECORDER_INTERFACE_GUID;
    const auto interfaces = EnumerateDeviceInterfaces(recorderInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].rfind("\\\\?\\", 0), 0u) << interfaces[0];
    HANDLE pipe = Open((interfaces[0] + "\\PIPE00").c_str());
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(recording_.Take("func:Create"), (std::vector<std::string>{"func:Create:0x07"}));
    CloseHandle(pipe);

    EXPECT_EQ(Open("\\\\.\\NOSUCHDEVICE"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("\\\\.\\PNPREC7", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const WCHAR wide[] = L"\\\\.\\PNPREC7";
    HANDLE byWideName = CreateFileW(wide, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(byWideName, INVALID_HANDLE_VALUE);
    CloseHandle(byWideName);
}

TEST_F(Files, AnExclusiveDeviceTakesOneOpenAtATime) {
    InstallRecorder({DwordValue("Exclusive", 1)});
    HANDLE first = Open("\\\\.\\PNPREC7");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("\\\\.\\PNPREC7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = Open("\\\\.\\PNPREC7");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(Files, DeviceControlMovesTheBuffersOfEachMethod) {
    InstallRecorder();
    HANDLE file = Open("\\\\.\\PNPREC7");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    for (DWORD code : {IOCTL_RECORDER_ECHO_BUFFERED, IOCTL_RECORDER_ECHO_IN_DIRECT, IOCTL_RECORDER_ECHO_OUT_DIRECT,
                       IOCTL_RECORDER_ECHO_NEITHER}) {
        char input[] = "abcdef";
        char output[5] = {'-', '-', '-', '-', '-'};
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(file, code, input, 6, output, 4, &returned, nullptr)) << std::hex << code;
        EXPECT_EQ(returned, 4u) << std::hex << code;
        EXPECT_EQ(std::string(output, 5), "abcd-") << std::hex << code; // nothing past the output length
    }
    // A warning fails the call but the data and the count still arrive.
    char output[6] = {};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(file, IOCTL_RECORDER_OVERFLOW, nullptr, 0, output, 6, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(returned, 6u);
    EXPECT_EQ(std::string(output, 6), "ZZZZZZ");
    // A code the driver does not know.
    EXPECT_FALSE(DeviceIoControl(file, RECORDER_CTL(0x8FF, 0, 0), nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(file);
}

TEST_F(Files, RequestsNeedTheAccessTheHandleWasOpenedWith) {
    InstallRecorder();
    HANDLE readOnly = Open("\\\\.\\PNPREC7", GENERIC_READ);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    recording_.Clear();
    DWORD moved = 0;
    EXPECT_FALSE(WriteFile(readOnly, "x", 1, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeviceIoControl(readOnly, IOCTL_RECORDER_WRITE_ACCESS, nullptr, 0, nullptr, 0, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FlushFileBuffers(readOnly));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(recording_.Events().empty()); // refused before reaching the driver
    HANDLE readWrite = Open("\\\\.\\PNPREC7");
    EXPECT_TRUE(DeviceIoControl(readWrite, IOCTL_RECORDER_WRITE_ACCESS, nullptr, 0, nullptr, 0, &moved, nullptr));
    EXPECT_TRUE(FlushFileBuffers(readWrite));
    CloseHandle(readOnly);
    CloseHandle(readWrite);
    EXPECT_FALSE(CloseHandle(readWrite));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(readWrite, &moved, 1, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Files, SerialPortsAreListedFromTheDeviceMap) {
    const std::string key = std::string(io::kDeviceMapPath) + "\\SERIALCOMM";
    io::SetRegistryString(key, "\\Device\\tarvelport0", "COM3");
    io::SetRegistryDword(key, "NotAPort", 5); // only strings name ports
    io::SetRegistryString(key, "\\Device\\Serial0", "COM1");
    const auto ports = EnumerateSerialComm();
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].device, "\\Device\\tarvelport0");
    EXPECT_EQ(ports[0].port, "COM3");
    EXPECT_EQ(ports[1].port, "COM1");
}

} // namespace
} // namespace tarvel::testing
