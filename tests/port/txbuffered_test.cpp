// The buffered transmitter (TxAsync 1) through COM3 against the adapter model, in virtual time: writes
// that complete as soon as TxRing holds them, a write that waits for room, the kick threshold's pacing,
// zero-length packets, the write timeout of a waiting write, the out-queue amount, a long run of writes
// of random sizes, and request allocation failures in the pump, which must lose no byte.
#include "serial_stack.h"

#include <atomic>
#include <random>

namespace porttest {
namespace {

class BufferedTest : public SerialStackTest {
protected:
    void StartBuffered(StackOptions options = {}) {
        options.settings["TxAsync"] = 1;
        Start(options);
        SetBaudRate(115200);
    }
    void NakOut(bool on) { Adapter().NakForever(RecordingAdapter::kBulkOut, on); }
    k::VirtualTime FirstOutPacketAfter(k::VirtualTime t) {
        for (const auto& p : Adapter().outPackets)
            if (p.at > t) return p.at;
        ADD_FAILURE() << "no packet after " << t;
        return 0;
    }
};

// TXEMPTY tells that the last byte has left the port, not that it is buffered.
TEST_F(BufferedTest, WriteThatFitsCompletesAtOnceGoesOutAtOnceThenRaisesTxEmpty) {
    StartBuffered();
    SetWaitMask(SERIAL_EV_TXEMPTY);
    Request txEmpty;
    Control(txEmpty, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);

    Request w;
    k::VirtualTime start = Now();
    Write(w, Pattern(10));
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 10u);
    EXPECT_FALSE(txEmpty.Done()) << "TXEMPTY while the 10 bytes are still in the port";

    RunFor(20 * kMs);
    ASSERT_TRUE(txEmpty.Done());
    EXPECT_EQ(Ulong(txEmpty), ULONG{SERIAL_EV_TXEMPTY});
    ASSERT_FALSE(Adapter().outPackets.empty());
    EXPECT_EQ(Adapter().outPackets[0].size, 10u);
    EXPECT_LE(Adapter().outPackets[0].at, start + 1 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(10));
}

TEST_F(BufferedTest, WriteLargerThanTheRingWaitsForRoomThenCompletesWhole) {
    StartBuffered();
    Request w;
    Write(w, Pattern(10000));
    EXPECT_FALSE(w.Done());
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 10000u);
    RunFor(1500 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(10000));
    EXPECT_EQ(ext->TxRing.Count, 0u);
}

// TxKickThreshold 64 (the default, rounded to the packet size): bytes written while a transfer is on
// the wire go out 10 ms after it finished, unless 64 or more have gathered. The device holds the first
// transfer back until the second write is in TxRing; its transmit FIFO is large enough never to hold a
// packet back by itself.
class KickThresholdTest : public BufferedTest {
protected:
    // Returns when the first transfer ended and when the next packet came.
    std::pair<k::VirtualTime, k::VirtualTime> TransferThenGathered(std::size_t gathered) {
        StackOptions options;
        options.adapter.txFifoSize = 4096;
        StartBuffered(options);
        NakOut(true);
        Write(first, Pattern(600));   // 9 packets of 64 and one of 24
        RunFor(5 * kMs);
        Write(more, Pattern(gathered, 600));
        RunFor(5 * kMs);
        NakOut(false);
        RunFor(100 * kMs);
        k::VirtualTime end = 0, next = 0;
        for (const auto& p : Adapter().outPackets) {
            if (!end && p.size == 24) end = p.at;
            else if (end && !next && p.at > end) next = p.at;
        }
        EXPECT_EQ(peer.ReceivedBytes(), Pattern(600 + gathered));
        return {end, next};
    }
    Request first, more;
};

TEST_F(KickThresholdTest, FewBytesGatheredDuringATransferWaitTenMilliseconds) {
    auto [end, next] = TransferThenGathered(10);
    ASSERT_NE(end, 0);
    EXPECT_GE(next, end + 10 * kMs);
    EXPECT_LE(next, end + 12 * kMs);
}

TEST_F(KickThresholdTest, ThresholdWorthOfBytesGatheredDuringATransferGoesOutAtOnce) {
    auto [end, next] = TransferThenGathered(100);
    ASSERT_NE(end, 0);
    EXPECT_GT(next, end);
    EXPECT_LE(next, end + 2 * kMs);
}

TEST_F(BufferedTest, TransferOfWholePacketsThatEmptiesTheRingIsFollowedByAZeroLengthPacket) {
    StartBuffered();
    Request w;
    Write(w, Pattern(128));
    RunFor(20 * kMs);
    std::vector<std::size_t> sizes;
    for (const auto& p : Adapter().outPackets) sizes.push_back(p.size);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{64, 64, 0}));
}

// A write waiting for room times out with the bytes already in TxRing, which are still sent.
TEST_F(BufferedTest, WriteTimeoutOfAWaitingWriteReportsItsBufferedBytes) {
    StartBuffered();
    SetTimeouts(MAXULONG, 0, 0, 0, 300);
    NakOut(true);
    Request w;
    k::VirtualTime start = Now();
    Write(w, Pattern(5000));
    Wait(w);
    EXPECT_EQ(w.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(w.Information(), 4096u);
    EXPECT_EQ(Now() - start, 300 * kMs);
    NakOut(false);
    RunFor(1000 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(4096));
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
}

// The out-queue amount counts the bytes in the transmit ring and those of the transfer on the wire.
TEST_F(BufferedTest, CommStatusReportsEveryByteNotYetSent) {
    StartBuffered();
    NakOut(true);
    Request onWire, inRing;
    Write(onWire, Pattern(200));   // taken by the pump, which waits on the device
    RunFor(5 * kMs);
    Write(inRing, Pattern(100, 200));
    EXPECT_EQ(CommStatus().AmountInOutQueue, 300u);
    NakOut(false);
    RunFor(100 * kMs);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(300));
}

TEST_F(BufferedTest, TransmittedBytesAreCounted) {
    StartBuffered();
    Request w;
    Write(w, Pattern(1000));
    RunFor(200 * kMs);
    std::vector<std::uint8_t> out;
    ASSERT_EQ(ControlNow(IOCTL_SERIAL_GET_STATS, nullptr, 0, &out, sizeof(SERIALPERF_STATS)), STATUS_SUCCESS);
    SERIALPERF_STATS stats{};
    std::memcpy(&stats, out.data(), sizeof stats);
    EXPECT_EQ(stats.TransmittedCount, 1000u);
}

// Writes of random sizes, several outstanding at a time, for a long run at 115200 baud: the far side
// receives every byte once and in order.
TEST_F(BufferedTest, LongRunOfRandomWritesArrivesWhole) {
    StartBuffered();
    std::mt19937_64 random(7);
    std::vector<std::uint8_t> sent;
    std::vector<std::unique_ptr<Request>> writes;
    for (int i = 0; i < 300; i++) {
        std::size_t size = 1 + random() % 3000;
        auto r = std::make_unique<Request>();
        Write(*r, Pattern(size, sent.size()));
        sent.insert(sent.end(), r->buffer.begin(), r->buffer.end());
        writes.push_back(std::move(r));
        if (writes.size() >= 4) {
            Wait(*writes.front());
            EXPECT_EQ(writes.front()->Status(), STATUS_SUCCESS);
            EXPECT_EQ(writes.front()->Information(), writes.front()->buffer.size());
            writes.erase(writes.begin());
        }
        RunFor((random() % 100) * kMs);
    }
    for (auto& r : writes) Wait(*r);
    RunFor((sent.size() / 11 + 1000) * kMs);
    std::vector<std::uint8_t> got = peer.ReceivedBytes();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

// Requests for the pump's transfers fail at random: the bytes stay in TxRing and the kick timer tries
// again, so nothing is lost. (Status polling parks at its first failed request, and the receive
// engine's read stays outstanding on the quiet line: the other failures hit the application's writes.)
class BufferedAllocationTest : public BufferedTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(BufferedAllocationTest, FailedPumpRequestsLoseNoByte) {
    StartBuffered();
    std::mt19937_64 random(GetParam());
    std::vector<std::uint8_t> sent;
    k::FailRandom(k::FaultSite::Irp, 0.3, GetParam());
    for (int i = 0; i < 60; i++) {
        std::vector<std::uint8_t> data = Pattern(1 + random() % 2000, sent.size());
        Request w;
        w.buffer = data;
        DWORD n = 0;
        if (!u::WriteFile(com, w.buffer.data(), static_cast<DWORD>(data.size()), &n, &w.ov) &&
            u::GetLastError() != ERROR_IO_PENDING)
            continue;   // the application's own request could not be made: nothing was accepted
        Wait(w);
        if (w.Status() == STATUS_INSUFFICIENT_RESOURCES) continue;
        ASSERT_EQ(w.Status(), STATUS_SUCCESS);
        ASSERT_EQ(w.Information(), data.size());
        sent.insert(sent.end(), data.begin(), data.end());
        RunFor((random() % 30) * kMs);
    }
    EXPECT_GT(k::FaultsInjected(), 0u);
    k::ClearFaults();
    RunFor((sent.size() / 11 + 1000) * kMs);
    std::vector<std::uint8_t> got = peer.ReceivedBytes();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BufferedAllocationTest, ::testing::Range<std::uint64_t>(1, 5));


// Writes that wait for room, their write timeouts, the pump's completions and a transmit purge race
// under the random policy: every write completes exactly once (the verifier stops on a second
// completion), the out-queue count returns to 0 and no write stays current.
class BufferedRaceTest : public BufferedTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(BufferedRaceTest, EveryWriteCompletesExactlyOnce) {
    StackOptions options = RandomPolicy(GetParam());
    StartBuffered(options);
    std::mt19937_64 random(GetParam());
    for (int round = 0; round < 25; round++) {
        SetTimeouts(MAXULONG, 0, 0, 0, 1 + random() % 5);
        Request w[3];
        std::atomic<bool> purged{false};
        k::StartThread("purger", [&, delay = random() % 5] {
            RunFor(delay * kMs);
            Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR);
            purged = true;
        });
        for (auto& r : w) Write(r, Pattern(1 + random() % 3000));
        while (!purged) RunFor(1 * kMs);
        for (auto& r : w) {
            Wait(r);
            NTSTATUS s = r.Status();
            EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_TIMEOUT || s == STATUS_CANCELLED) << std::hex << s;
            EXPECT_LE(r.Information(), r.buffer.size());
        }
        RunFor(10 * kMs);
        ASSERT_EQ(*OutQueueBytes(ext), 0) << "round " << round;
        ASSERT_EQ(ext->CurrentWriteIrp, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, BufferedRaceTest, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace porttest
