// Overlapped requests: pending, completion through the event or the handle, cancel, and a close that
// waits for the requests still in flight.
#include "pnp_fixture.h"
#include "tarvel/user.h"

namespace tarvel::testing {
namespace {

using namespace tarvel::user;

class Overlapped : public PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        Install(Description({DwordValue("Index", 3)}, false));
        file_ = CreateFileA("\\\\.\\PNPREC3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
        recording_.Clear();
    }
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

TEST_F(Overlapped, AReadPendsUntilDataArrivesAndCompletesThroughItsEvent) {
    OVERLAPPED read{};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[16] = {};
    DWORD moved = 77;
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, &moved, &read));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(moved, 0u);
    EXPECT_FALSE(GetOverlappedResult(file_, &read, &moved, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    const kernel::VirtualTime before = kernel::Now();
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 25), WAIT_TIMEOUT);
    EXPECT_EQ(kernel::Now() - before, 25 * kernel::kMillisecond);

    OVERLAPPED write{};
    EXPECT_TRUE(WriteFile(file_, "data", 4, &moved, &write)); // completes at once
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(file_, &read, &moved, TRUE));
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(std::string(buffer, 4), "data");
    CloseHandle(read.hEvent);
    CloseHandle(file_);
}

TEST_F(Overlapped, WithoutAnEventTheHandleIsWaitedOn) {
    OVERLAPPED read{};
    char buffer[4];
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, nullptr, &read));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    kernel::StartThread("writer", [this] {
        kernel::RunFor(5 * kernel::kMillisecond);
        OVERLAPPED write{};
        DWORD moved = 0;
        WriteFile(file_, "wxyz", 4, &moved, &write);
    });
    DWORD moved = 0;
    EXPECT_TRUE(GetOverlappedResult(file_, &read, &moved, TRUE));
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(kernel::Now(), 5 * kernel::kMillisecond);
    CloseHandle(file_);
}

TEST_F(Overlapped, CancelIoEndsHeldRequestsAsAborted) {
    OVERLAPPED held{}, read{};
    DWORD moved = 0;
    char buffer[4];
    EXPECT_FALSE(DeviceIoControl(file_, IOCTL_RECORDER_HOLD, nullptr, 0, nullptr, 0, &moved, &held));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, &moved, &read));
    EXPECT_TRUE(CancelIo(file_));
    // CancelIo returns once both have finished.
    EXPECT_NE(static_cast<NTSTATUS>(held.Internal), STATUS_PENDING);
    EXPECT_NE(static_cast<NTSTATUS>(read.Internal), STATUS_PENDING);
    EXPECT_FALSE(GetOverlappedResult(file_, &held, &moved, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(GetOverlappedResult(file_, &read, &moved, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CloseHandle(file_);
}

// CancelIo is the calling thread's: another thread's requests go on. CancelIoEx takes one request by
// its OVERLAPPED, or every thread's without one, and says when there was nothing to cancel.
TEST_F(Overlapped, CancelIoKeepsToTheCallingThreadAndCancelIoExSelectsByOverlapped) {
    OVERLAPPED read{};
    char buffer[4];
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, nullptr, &read));
    NTSTATUS otherHeld = STATUS_PENDING;
    kernel::StartThread("other", [this, &otherHeld] {
        OVERLAPPED held{};
        DWORD moved = 0;
        DeviceIoControl(file_, IOCTL_RECORDER_HOLD, nullptr, 0, nullptr, 0, &moved, &held);
        CancelIo(file_);
        otherHeld = static_cast<NTSTATUS>(held.Internal);  // CancelIo returned once it had ended
    });
    kernel::RunFor(kernel::kMillisecond);
    EXPECT_EQ(otherHeld, STATUS_CANCELLED);
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_PENDING) << "another thread's CancelIo took this read";

    OVERLAPPED held{};
    DWORD moved = 0;
    EXPECT_FALSE(DeviceIoControl(file_, IOCTL_RECORDER_HOLD, nullptr, 0, nullptr, 0, &moved, &held));
    EXPECT_TRUE(CancelIoEx(file_, &read));
    EXPECT_FALSE(GetOverlappedResult(file_, &read, &moved, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(static_cast<NTSTATUS>(held.Internal), STATUS_PENDING) << "CancelIoEx took another request";
    EXPECT_FALSE(CancelIoEx(file_, &read));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);

    NTSTATUS otherCancel = STATUS_PENDING;
    kernel::StartThread("canceller", [this, &otherCancel] {
        otherCancel = CancelIoEx(file_, nullptr) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    });
    EXPECT_FALSE(GetOverlappedResult(file_, &held, &moved, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(otherCancel, STATUS_SUCCESS);
    CloseHandle(file_);
}

TEST_F(Overlapped, TheCloseRequestWaitsForTheRequestsStillInFlight) {
    OVERLAPPED read{};
    char buffer[4];
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, nullptr, &read));
    EXPECT_TRUE(CloseHandle(file_));
    EXPECT_EQ(recording_.Take("func:"), (std::vector<std::string>{"func:Read:0x04", "func:Cleanup"}));

    HANDLE writer = CreateFileA("\\\\.\\PNPREC3", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD moved = 0;
    ASSERT_TRUE(WriteFile(writer, "late", 4, &moved, nullptr));
    kernel::RunUntilIdle();
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_SUCCESS);
    EXPECT_EQ(read.InternalHigh, 4u);
    EXPECT_EQ(recording_.Take("func:"), (std::vector<std::string>{"func:Create:0x00", "func:Write:0x04", "func:Close"}));
    CloseHandle(writer);
}

TEST_F(Overlapped, AnOverlappedHandleNeedsAnOverlappedStructure) {
    char buffer[4];
    DWORD moved = 0;
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, &moved, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    OVERLAPPED bad{};
    bad.hEvent = reinterpret_cast<HANDLE>(0x7FF0);
    EXPECT_FALSE(ReadFile(file_, buffer, sizeof buffer, &moved, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(recording_.Events().empty());
    CloseHandle(file_);
}

} // namespace
} // namespace tarvel::testing
