// The direct transmitter through COM3 against the adapter model, in virtual time: zero-length packets
// after transfers that end on a packet boundary, the write timeout, write order and SERIAL_EV_TXEMPTY,
// cancellation of a queued write, and completion, timeout and cancel-all racing under the random policy.
#include "serial_stack.h"

#include <atomic>
#include <random>

namespace porttest {
namespace {

class TransmitTest : public SerialStackTest {
protected:
    void StartAt115200(StackOptions options = {}) {
        Start(options);
        SetBaudRate(115200);
    }
    std::vector<std::size_t> OutSizes() {
        std::vector<std::size_t> sizes;
        for (const auto& p : Adapter().outPackets) sizes.push_back(p.size);
        return sizes;
    }
    ULONG OutQueue() { return CommStatus().AmountInOutQueue; }
    void NakOut(bool on) { Adapter().NakForever(RecordingAdapter::kBulkOut, on); }
};

TEST_F(TransmitTest, WriteEndingOnAPacketBoundaryIsFollowedByOneZeroLengthPacket) {
    StartAt115200();
    Request w;
    Write(w, Pattern(64));
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 64u);
    EXPECT_EQ(OutSizes(), (std::vector<std::size_t>{64, 0}));
    // The write completes only after the zero-length transfer.
    EXPECT_GE(Now(), Adapter().outPackets.back().at);
    RunFor(20 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(64));
    EXPECT_EQ(OutQueue(), 0u);
}

TEST_F(TransmitTest, WriteEndingInAShortPacketHasNoZeroLengthPacket) {
    StartAt115200();
    Request w;
    Write(w, Pattern(100));
    Wait(w);
    EXPECT_EQ(w.Information(), 100u);
    RunFor(20 * kMs);
    EXPECT_EQ(OutSizes(), (std::vector<std::size_t>{64, 36}));
}

TEST_F(TransmitTest, NoZeroLengthPacketWhenTheRegistryForbidsIt) {
    StartAt115200(Settings({{"TxAllowNullPacket", 0}}));
    Request w;
    Write(w, Pattern(128));
    Wait(w);
    EXPECT_EQ(w.Information(), 128u);
    RunFor(20 * kMs);
    EXPECT_EQ(Adapter().ZeroLengthPackets(), 0u);
}

// A transfer cancelled after whole packets went out is not followed by a zero-length packet, whose
// success would report the cancelled write as written.
TEST_F(TransmitTest, CancelledTransferEndingOnAPacketBoundaryStaysCancelled) {
    StackOptions options;
    options.adapter.txFifoSize = 64;
    Start(options);   // 9600 baud: the second packet waits 67 ms for room
    Request w;
    Write(w, Pattern(128));
    RunFor(10 * kMs);
    u::CancelIo(com);
    EXPECT_EQ(w.Status(), STATUS_CANCELLED);
    EXPECT_EQ(w.Information(), 64u);
    RunFor(100 * kMs);
    EXPECT_EQ(Adapter().ZeroLengthPackets(), 0u);
}

TEST_F(TransmitTest, WriteOfNothingSucceedsAtOnce) {
    StartAt115200();
    Request w;
    k::VirtualTime start = Now();
    Write(w, {});
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 0u);
    EXPECT_EQ(Now(), start);
    EXPECT_TRUE(Adapter().outPackets.empty());
}

// Multiplier 2, constant 100, 50 bytes: 200 ms. A device that takes nothing times the write out, and
// the port goes on with the next write.
TEST_F(TransmitTest, WriteTimeoutCancelsTheTransferBelow) {
    StartAt115200();
    SetTimeouts(MAXULONG, 0, 0, 2, 100);
    NakOut(true);
    Request w;
    k::VirtualTime start = Now();
    Write(w, Pattern(50));
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(w.Information(), 0u);
    EXPECT_GE(Now() - start, 200 * kMs);
    EXPECT_LE(Now() - start, 205 * kMs);   // the pipe driver resets the pipe before it completes
    EXPECT_EQ(OutQueue(), 0u);

    NakOut(false);
    Request next;
    Write(next, Pattern(10));
    Wait(next);
    EXPECT_EQ(next.Status(), STATUS_SUCCESS);
    RunFor(20 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(10));
}

// A slow line: the adapter's 64-byte transmit FIFO takes one packet, then the transfer waits for room.
// The timeout reports the bytes that the pipe driver moved.
TEST_F(TransmitTest, WriteTimeoutReportsTheBytesThatWentOut) {
    StackOptions options = Settings({{"EndPointCaps", 3}});
    options.adapter.txFifoSize = 64;
    Start(options);
    SetBaudRate(1200);   // 64 bytes take 533 ms
    SetTimeouts(MAXULONG, 0, 0, 2, 100);
    Request w;
    k::VirtualTime start = Now();
    Write(w, Pattern(200));   // 500 ms
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(w.Information(), 64u);
    EXPECT_GE(Now() - start, 500 * kMs);
    EXPECT_LE(Now() - start, 505 * kMs);
    RunFor(1000 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(64));
    EXPECT_EQ(Adapter().ZeroLengthPackets(), 0u) << "a zero-length packet would turn the timeout into success";
}

TEST_F(TransmitTest, WithoutWriteTimeoutsAWriteWaitsForTheDevice) {
    StartAt115200();
    NakOut(true);
    Request w;
    Write(w, Pattern(10));
    RunFor(10 * k::kSecond);
    EXPECT_FALSE(w.Done());
    EXPECT_EQ(OutQueue(), 10u);
    NakOut(false);
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 10u);
}

TEST_F(TransmitTest, WritesCompleteInIssueOrderAndTheLastRaisesTxEmpty) {
    StartAt115200();
    SetWaitMask(SERIAL_EV_TXEMPTY);
    Request txEmpty;
    Control(txEmpty, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);

    Request w[3];
    Write(w[0], Pattern(300));
    Write(w[1], Pattern(200, 300));
    Write(w[2], Pattern(100, 500));
    EXPECT_EQ(OutQueue(), 600u);
    k::VirtualTime doneAt[3] = {0, 0, 0};
    k::VirtualTime emptyAt = 0;
    while (!(w[2].Done() && txEmpty.Done())) {
        for (int i = 0; i < 3; i++)
            if (!doneAt[i] && w[i].Done()) doneAt[i] = Now();
        if (!emptyAt && txEmpty.Done()) emptyAt = Now();
        RunFor(1 * kMs);
    }
    for (int i = 0; i < 3; i++)
        if (!doneAt[i]) doneAt[i] = Now();
    if (!emptyAt) emptyAt = Now();
    EXPECT_LE(doneAt[0], doneAt[1]);
    EXPECT_LE(doneAt[1], doneAt[2]);
    EXPECT_GE(emptyAt, doneAt[2]) << "TXEMPTY before the last write completed";
    EXPECT_EQ(Ulong(txEmpty), ULONG{SERIAL_EV_TXEMPTY});
    RunFor(100 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(600));
    EXPECT_EQ(OutQueue(), 0u);
}

TEST_F(TransmitTest, CancellingAQueuedWriteLeavesTheCurrentOneAlone) {
    StartAt115200();
    NakOut(true);
    Request current, queued;
    Write(current, Pattern(10));
    Write(queued, Pattern(20, 10));
    ASSERT_FALSE(IsListEmpty(&ext->WriteQueue));
    // The queued write alone is cancelled (CancelIo would cancel every request of the file).
    IoCancelIrp(CONTAINING_RECORD(ext->WriteQueue.Flink, IRP, Tail.Overlay.ListEntry));
    EXPECT_EQ(queued.Status(), STATUS_CANCELLED);
    EXPECT_EQ(queued.Information(), 0u);
    EXPECT_FALSE(current.Done());
    EXPECT_EQ(OutQueue(), 10u);

    NakOut(false);
    Wait(current);
    EXPECT_EQ(current.Status(), STATUS_SUCCESS);
    EXPECT_EQ(current.Information(), 10u);
    RunFor(20 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(10));
}

// A transmit purge stops the transmitter, cancels what waits, and lets new writes through again.
TEST_F(TransmitTest, PurgeTxAbortCancelsWaitingWritesAndTransmissionGoesOn) {
    StartAt115200();
    NakOut(true);
    Request onWire, waiting;
    Write(onWire, Pattern(10));
    Write(waiting, Pattern(10, 10));
    std::atomic<bool> purged{false};
    k::StartThread("purger", [&] {
        Purge(SERIAL_PURGE_TXABORT);
        purged = true;
    });
    RunFor(50 * kMs);
    EXPECT_TRUE(onWire.Done()) << "the write on the wire is aborted";
    NakOut(false);
    while (!purged) RunFor(1 * kMs);
    Wait(waiting);
    EXPECT_NE(onWire.Status(), STATUS_SUCCESS);
    EXPECT_EQ(OutQueue(), 0u);

    Request after;
    Write(after, Pattern(5, 200));
    Wait(after);
    EXPECT_EQ(after.Status(), STATUS_SUCCESS);
    EXPECT_EQ(after.Information(), 5u);
}

// Completion, write timeout and cancel-all (a transmit purge) race for the same writes under the
// random policy: every write completes exactly once (the verifier stops on a second completion) and
// the out-queue count returns to 0.
class TransmitRaceTest : public TransmitTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(TransmitRaceTest, EveryWriteCompletesExactlyOnce) {
    StartAt115200(RandomPolicy(GetParam()));
    std::mt19937_64 random(GetParam());
    for (int round = 0; round < 40; round++) {
        SetTimeouts(MAXULONG, 0, 0, 0, 1 + random() % 3);   // about as long as a transfer takes
        constexpr int kWrites = 4;
        Request w[kWrites];
        std::atomic<bool> purged{false};
        k::StartThread("purger", [&, delay = random() % 4] {
            RunFor(delay * kMs);
            Purge(SERIAL_PURGE_TXABORT);
            purged = true;
        });
        for (auto& r : w) Write(r, Pattern(1 + random() % 200));
        while (!purged) RunFor(1 * kMs);
        for (auto& r : w) {
            Wait(r);
            NTSTATUS s = r.Status();
            EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_TIMEOUT || s == STATUS_CANCELLED || s == STATUS_UNSUCCESSFUL)
                << std::hex << s;
            EXPECT_LE(r.Information(), r.buffer.size());
        }
        RunFor(10 * kMs);
        ASSERT_EQ(OutQueue(), 0u) << "round " << round;
        ASSERT_EQ(ext->CurrentWriteIrp, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TransmitRaceTest, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace porttest
