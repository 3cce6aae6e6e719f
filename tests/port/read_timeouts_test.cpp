// Read requests and their timeouts, through COM3 against the adapter model with a scripted peer, in
// virtual time: the four read modes, the total timeout counted from the moment a read becomes current,
// the interval timeout restarted by every delivery, cancellation, and refused reads.
#include "serial_stack.h"

#include <atomic>
#include <random>

namespace porttest {
namespace {

constexpr ULONG MAX = MAXULONG;

class ReadTimeoutsTest : public SerialStackTest {
protected:
    void SetUp() override {
        Start();
        SetBaudRate(115200);
    }
    // When the driver last received data: the end of the frame that carried the last bulk-in packet.
    k::VirtualTime LastDelivery() {
        EXPECT_FALSE(Adapter().inPackets.empty());
        return Adapter().inPackets.empty() ? 0 : Adapter().inPackets.back().at;
    }
    std::vector<std::uint8_t> Got(const Request& r) {
        return std::vector<std::uint8_t>(r.buffer.begin(), r.buffer.begin() + r.Information());
    }
};

TEST_F(ReadTimeoutsTest, ImmediateModeReturnsAtOnceWithWhatIsThere) {
    SetTimeouts(MAX, 0, 0);
    Request empty;
    k::VirtualTime start = Now();
    Read(empty, 10);
    Wait(empty);
    EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty.Information(), 0u);
    EXPECT_EQ(Now(), start);

    peer.Send(Pattern(4));
    RunFor(20 * kMs);
    Request some;
    Read(some, 10);
    Wait(some);
    EXPECT_EQ(some.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Got(some), Pattern(4));
}

TEST_F(ReadTimeoutsTest, FirstByteModeEndsWithTheFirstDeliveryOrAfterTheConstant) {
    SetTimeouts(MAX, MAX, 1000);
    Request quiet;
    k::VirtualTime start = Now();
    Read(quiet, 10);
    Wait(quiet);
    EXPECT_EQ(quiet.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(quiet.Information(), 0u);
    EXPECT_EQ(Now() - start, 1000 * kMs);

    Request data;
    start = Now();
    Read(data, 10);
    RunFor(200 * kMs);
    EXPECT_FALSE(data.Done());
    peer.Send(Pattern(3));
    Wait(data);
    EXPECT_EQ(data.Status(), STATUS_SUCCESS);
    ASSERT_GE(data.Information(), 1u);
    ASSERT_LE(data.Information(), 3u);
    EXPECT_EQ(Got(data), Pattern(data.Information()));
    // Completed by the delivery itself, long before the constant would have run out.
    EXPECT_LT(Now() - start, 210 * kMs);
    EXPECT_LE(Now(), LastDelivery() + 1 * kMs);
}

TEST_F(ReadTimeoutsTest, NoTimeoutModeCompletesOnlyWhenFull) {
    SetTimeouts(0, 0, 0);
    Request r;
    Read(r, 10);
    peer.Send(Pattern(4));
    RunFor(5000 * kMs);
    EXPECT_FALSE(r.Done());

    peer.Send(Pattern(6, 4));
    Wait(r);
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Got(r), Pattern(10));
}

TEST_F(ReadTimeoutsTest, IntervalTimeoutRunsFromTheLastDeliveryAndNeverBeforeTheFirstByte) {
    SetTimeouts(50, 0, 0);
    Request r;
    Read(r, 10);
    RunFor(3000 * kMs);
    EXPECT_FALSE(r.Done()) << "no byte yet: the interval timer must not run";

    peer.Send(Pattern(2));
    RunFor(30 * kMs);
    peer.Send(Pattern(1, 2));   // restarts the interval
    Wait(r);
    EXPECT_EQ(r.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Got(r), Pattern(3));
    k::VirtualTime last = LastDelivery();
    EXPECT_GE(Now(), last + 50 * kMs);
    EXPECT_LE(Now(), last + 51 * kMs);
}

TEST_F(ReadTimeoutsTest, TotalTimeoutIsLengthTimesMultiplierPlusConstant) {
    SetTimeouts(0, 10, 100);
    Request r;
    k::VirtualTime start = Now();
    Read(r, 20);
    Wait(r);
    EXPECT_EQ(r.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(r.Information(), 0u);
    EXPECT_EQ(Now() - start, 300 * kMs);
}

TEST_F(ReadTimeoutsTest, QueuedReadStartsItsTotalTimeoutWhenItBecomesCurrent) {
    SetTimeouts(0, 10, 100);
    Request first, second;
    k::VirtualTime start = Now();
    Read(first, 20);    // 300 ms
    RunFor(100 * kMs);
    Read(second, 5);    // 150 ms, counted from 300 ms
    Wait(first);
    EXPECT_EQ(first.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Now() - start, 300 * kMs);
    EXPECT_FALSE(second.Done());
    Wait(second);
    EXPECT_EQ(second.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Now() - start, 450 * kMs);
}

TEST_F(ReadTimeoutsTest, ReadsQueuedBehindTheCurrentOneAreFilledInArrivalOrder) {
    SetTimeouts(0, 0, 0);
    Request a, b, c;
    Read(a, 3);
    Read(b, 4);
    Read(c, 2);
    peer.Send(Pattern(9));
    Wait(a);
    Wait(b);
    Wait(c);
    EXPECT_EQ(Got(a), Pattern(3));
    EXPECT_EQ(Got(b), Pattern(4, 3));
    EXPECT_EQ(Got(c), Pattern(2, 7));
}

TEST_F(ReadTimeoutsTest, CancellingAHalfFilledReadReportsNothingAndLetsTheNextOneGoOn) {
    SetTimeouts(0, 0, 0);
    Request half, next;
    Read(half, 10);
    Read(next, 2);
    peer.Send(Pattern(4));
    RunFor(20 * kMs);
    EXPECT_FALSE(half.Done());

    u::CancelIo(com);
    EXPECT_EQ(half.Status(), STATUS_CANCELLED);
    EXPECT_EQ(half.Information(), 0u);
    EXPECT_EQ(next.Status(), STATUS_CANCELLED);

    // The queue is idle again: a new read is served.
    Request after;
    Read(after, 2);
    peer.Send(Pattern(2, 50));
    Wait(after);
    EXPECT_EQ(Got(after), Pattern(2, 50));
}

TEST_F(ReadTimeoutsTest, ZeroLengthReadIsRefused) {
    Request r;
    DWORD n = 0;
    BOOL ok = u::ReadFile(com, nullptr, 0, &n, &r.ov);
    if (!ok && u::GetLastError() == ERROR_IO_PENDING) Wait(r);
    EXPECT_EQ(r.Status(), STATUS_INVALID_PARAMETER);
}

TEST_F(ReadTimeoutsTest, NewTimeoutsApplyToTheReadInProgress) {
    SetTimeouts(0, 0, 0);
    Request r;
    k::VirtualTime start = Now();
    Read(r, 10);
    RunFor(100 * kMs);
    SetTimeouts(0, 0, 200);   // restarted from now
    Wait(r);
    EXPECT_EQ(r.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(Now() - start, 300 * kMs);
}

TEST_F(ReadTimeoutsTest, ATotalTimeoutOfACancelledReadDoesNotEndTheNextOne) {
    SetTimeouts(0, 0, 100);
    Request first;
    Read(first, 10);
    RunFor(50 * kMs);
    Purge(SERIAL_PURGE_RXABORT);
    EXPECT_EQ(first.Status(), STATUS_CANCELLED);

    SetTimeouts(0, 0, 0);   // no timeout for the next read
    Request second;
    Read(second, 10);
    RunFor(500 * kMs);
    EXPECT_FALSE(second.Done()) << "ended by the timer of the read before it";
    u::CancelIo(com);
}


// Short total timeouts race with deliveries under the random policy, several reads queued at a time:
// every read completes once, and the bytes the reads returned, followed by what is left in the ring,
// are exactly the bytes the peer sent, in order.
class ReadRaceTest : public SerialStackTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(ReadRaceTest, TimeoutsRacingDeliveriesLoseAndRepeatNothing) {
    Start(RandomPolicy(GetParam()));
    SetBaudRate(115200);
    std::mt19937_64 random(GetParam());
    std::vector<std::uint8_t> sent, got;
    for (int round = 0; round < 40; round++) {
        SetTimeouts(0, 0, 1 + random() % 3);
        std::vector<std::uint8_t> burst = Pattern(1 + random() % 60, sent.size());
        sent.insert(sent.end(), burst.begin(), burst.end());
        peer.Send(burst);
        Request reads[3];
        for (auto& r : reads) Read(r, 1 + random() % 40);
        for (auto& r : reads) {
            Wait(r);
            ASSERT_TRUE(r.Status() == STATUS_SUCCESS || r.Status() == STATUS_TIMEOUT) << std::hex << r.Status();
            ASSERT_LE(r.Information(), r.buffer.size());
            got.insert(got.end(), r.buffer.begin(), r.buffer.begin() + r.Information());
        }
    }
    RunFor(50 * kMs);
    SetTimeouts(MAX, 0, 0);
    Request rest;
    Read(rest, 4096);
    Wait(rest);
    got.insert(got.end(), rest.buffer.begin(), rest.buffer.begin() + rest.Information());
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size();
    EXPECT_EQ(ext->CurrentReadIrp, nullptr);
    EXPECT_TRUE(IsListEmpty(&ext->ReadQueue.DeviceListHead));
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReadRaceTest, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace porttest
