// Serial events and status requests through COM3 against the adapter model: the event history and the
// one pending wait, its cancellation and its replacement by a new mask, short buffers, purge, comm
// status and statistics; and a wait racing its own cancellation, a new mask and arriving data under
// the random scheduling policy.
#include "serial_stack.h"

#include <atomic>

namespace porttest {
namespace {

constexpr ULONG MAX = MAXULONG;

class EventsTest : public SerialStackTest {
protected:
    void SetUp() override {
        Start();
        SetBaudRate(115200);
        SetTimeouts(MAX, 0, 0);
    }
    void WaitOnMask(Request& r) { Control(r, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4); }
};

TEST_F(EventsTest, EventsRaisedBeforeTheWaitCompleteItAtOnceAndAreConsumed) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    peer.Send(Pattern(3));
    RunFor(20 * kMs);

    Request first;
    WaitOnMask(first);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Information(), 4u);
    EXPECT_EQ(Ulong(first), ULONG{SERIAL_EV_RXCHAR});

    Request second;
    WaitOnMask(second);
    RunFor(50 * kMs);
    EXPECT_FALSE(second.Done()) << "the history was not consumed";
    peer.Send(Pattern(1));
    Wait(second);
    EXPECT_EQ(Ulong(second), ULONG{SERIAL_EV_RXCHAR});
}

TEST_F(EventsTest, AWaitConsumesTheWholeHistoryNotOnlyTheBitsItReports) {
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    peer.SetLines(Lines(true));   // status polling raises CTS
    RunFor(50 * kMs);
    peer.Send(Pattern(2));
    RunFor(20 * kMs);

    Request wait;
    WaitOnMask(wait);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(Ulong(wait), ULONG{SERIAL_EV_RXCHAR});

    SetWaitMask(SERIAL_EV_CTS);
    Request cts;
    WaitOnMask(cts);
    RunFor(100 * kMs);
    EXPECT_FALSE(cts.Done()) << "CTS was raised before the first wait and went with its history";
    peer.SetLines(Lines(false));
    Wait(cts);
    EXPECT_EQ(Ulong(cts), ULONG{SERIAL_EV_CTS});
}

TEST_F(EventsTest, ANewMaskEndsThePendingWaitWithNoEventsAndKeepsTheHistory) {
    SetWaitMask(SERIAL_EV_RING);
    Request wait;
    WaitOnMask(wait);
    peer.Send(Pattern(1));   // RXCHAR: not in the mask, kept in the history
    RunFor(20 * kMs);
    EXPECT_FALSE(wait.Done());

    SetWaitMask(SERIAL_EV_RXCHAR);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), 4u);
    EXPECT_EQ(Ulong(wait), 0u);

    Request next;
    WaitOnMask(next);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(Ulong(next), ULONG{SERIAL_EV_RXCHAR});
}

TEST_F(EventsTest, OnlyOneWaitAtATimeAndNeverWithAnEmptyMask) {
    Request noMask;
    WaitOnMask(noMask);
    Wait(noMask);
    EXPECT_EQ(noMask.Status(), STATUS_INVALID_PARAMETER);

    SetWaitMask(SERIAL_EV_DSR);
    Request first, second;
    WaitOnMask(first);
    WaitOnMask(second);
    Wait(second);
    EXPECT_EQ(second.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.Done());
    peer.SetLines(Lines(false, true));
    Wait(first);
    EXPECT_EQ(Ulong(first), ULONG{SERIAL_EV_DSR});
}

TEST_F(EventsTest, CancellingThePendingWaitLeavesNoneBehind) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    Request wait;
    WaitOnMask(wait);
    u::CancelIo(com);
    EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
    EXPECT_EQ(wait.Information(), 0u);
    EXPECT_EQ(ext->PendingWaitIrp, nullptr);

    Request again;   // accepted: no wait is pending any more
    WaitOnMask(again);
    peer.Send(Pattern(1));
    Wait(again);
    EXPECT_EQ(again.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Ulong(again), ULONG{SERIAL_EV_RXCHAR});
}

// A wait-on-mask writes a 32-bit mask and a purge reads one: shorter buffers are refused before
// anything is written or read (a write past the 2-byte buffer would be caught by the sanitizer).
TEST_F(EventsTest, ShortBuffersAreRefusedWithoutTouchingThem) {
    SetWaitMask(SERIAL_EV_RXCHAR);
    peer.Send(Pattern(1));
    RunFor(20 * kMs);
    Request wait;
    Control(wait, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 2);
    Wait(wait);
    EXPECT_EQ(wait.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wait.Information(), 0u);

    std::uint16_t shortMask = SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(ControlNow(IOCTL_SERIAL_PURGE, &shortMask, sizeof shortMask), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CommStatus().AmountInInQueue, 1u) << "a refused purge must not purge";
}

TEST_F(EventsTest, PurgeRxClearEmptiesTheRingAndReceptionGoesOn) {
    peer.Send(Pattern(100));
    RunFor(30 * kMs);
    EXPECT_EQ(CommStatus().AmountInInQueue, 100u);
    Purge(SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);

    peer.Send(Pattern(5, 100));
    RunFor(30 * kMs);
    Request r;
    Read(r, 100);
    Wait(r);
    r.buffer.resize(r.Information());
    EXPECT_EQ(r.buffer, Pattern(5, 100));
}

TEST_F(EventsTest, PurgeRxAbortCancelsEveryRead) {
    SetTimeouts(0, 0, 0);
    Request a, b;
    Read(a, 10);
    Read(b, 10);
    Purge(SERIAL_PURGE_RXABORT);
    EXPECT_EQ(a.Status(), STATUS_CANCELLED);
    EXPECT_EQ(b.Status(), STATUS_CANCELLED);
    EXPECT_EQ(ext->CurrentReadIrp, nullptr);
}

TEST_F(EventsTest, StatisticsCountReceivedBytesUntilCleared) {
    peer.Send(Pattern(25));
    RunFor(30 * kMs);
    std::vector<std::uint8_t> out;
    ASSERT_EQ(ControlNow(IOCTL_SERIAL_GET_STATS, nullptr, 0, &out, sizeof(SERIALPERF_STATS)), STATUS_SUCCESS);
    SERIALPERF_STATS stats{};
    std::memcpy(&stats, out.data(), sizeof stats);
    EXPECT_EQ(stats.ReceivedCount, 25u);
    EXPECT_EQ(stats.TransmittedCount, 0u) << "the direct transmitter does not count";

    ASSERT_EQ(ControlNow(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(ControlNow(IOCTL_SERIAL_GET_STATS, nullptr, 0, &out, sizeof(SERIALPERF_STATS)), STATUS_SUCCESS);
    EXPECT_EQ(out, std::vector<std::uint8_t>(sizeof(SERIALPERF_STATS), 0));
}

// A pending wait, its cancellation, a new mask and arriving data race under the random policy: each
// wait completes exactly once (the verifier stops on a second completion), with one of the three
// outcomes, and no wait stays recorded after it completed.
class WaitRaceTest : public SerialStackTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    void WaitOnMask(Request& r) { Control(r, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4); }
    // What IoCancelIrp does to the wait the port holds, with the request taken under the cancel spin
    // lock: the port records and forgets its wait only under that lock, so the request is alive here.
    // (CancelIo would do, but the application side's own walk over the file's requests races with
    // their completion under this policy.)
    void CancelRecordedWait() {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = ext->PendingWaitIrp;
        PDRIVER_CANCEL routine = nullptr;
        if (irp) {
            irp->Cancel = TRUE;
            routine = IoSetCancelRoutine(irp, nullptr);
        }
        if (!routine) {
            IoReleaseCancelSpinLock(irql);
            return;
        }
        irp->CancelIrql = irql;
        routine(port, irp);   // releases the cancel spin lock
    }
};

TEST_P(WaitRaceTest, WaitCompletesExactlyOnceWhateverWins) {
    Start(RandomPolicy(GetParam()));
    SetBaudRate(115200);
    for (int round = 0; round < 60; round++) {
        SetWaitMask(SERIAL_EV_RXCHAR);
        Request wait;
        std::atomic<bool> waiterDone{false}, maskDone{false};
        k::StartThread("waiter", [&] {
            WaitOnMask(wait);
            CancelRecordedWait();
            waiterDone = true;
        });
        k::StartThread("masker", [&] {
            ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
            Request set;
            Control(set, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0);
            Wait(set);
            maskDone = true;
        });
        peer.Send(Pattern(1, round));
        while (!waiterDone || !maskDone) RunFor(1 * kMs);
        CancelRecordedWait();   // a wait recorded after the others ran
        RunFor(5 * kMs);

        ASSERT_TRUE(wait.Done()) << "round " << round;
        NTSTATUS s = wait.Status();
        ASSERT_TRUE(s == STATUS_CANCELLED || s == STATUS_SUCCESS) << std::hex << s;
        if (s == STATUS_SUCCESS) {
            ULONG events = Ulong(wait);
            EXPECT_TRUE(events == 0 || events == SERIAL_EV_RXCHAR) << events;
        }
        EXPECT_EQ(ext->PendingWaitIrp, nullptr) << "round " << round;
        Purge(SERIAL_PURGE_RXCLEAR);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, WaitRaceTest, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace porttest
