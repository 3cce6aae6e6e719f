// Events and waits in virtual time, and the last error of each thread.
#include "pnp_fixture.h"
#include "tarvel/user.h"

namespace tarvel::testing {
namespace {

using namespace tarvel::user;
using Sync = PlatformTest;

TEST_F(Sync, AutoResetEventsWakeOneWaitManualResetOnesStaySignalled) {
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT); // the wait consumed the signal
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(automatic));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(manual));
}

TEST_F(Sync, AWaitEndsWhenAnotherThreadSignalsInVirtualTime) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    kernel::StartThread("signaller", [event] {
        kernel::RunFor(40 * kernel::kMillisecond);
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(kernel::Now(), 40 * kernel::kMillisecond);
    CloseHandle(event);
}

TEST_F(Sync, EachThreadHasItsOwnLastError) {
    SetLastError(ERROR_BUSY);
    DWORD seen = 0;
    kernel::StartThread("other", [&seen] {
        SetLastError(ERROR_CRC);
        seen = GetLastError();
    });
    kernel::RunUntilIdle();
    EXPECT_EQ(seen, ERROR_CRC);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_EQ(NtStatusToDosError(STATUS_CANCELLED), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(NtStatusToDosError(static_cast<NTSTATUS>(0xC0DE0001L)), ERROR_MR_MID_NOT_FOUND);
}

} // namespace
} // namespace tarvel::testing
