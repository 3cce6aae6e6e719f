// The receive engine, through COM3 against the adapter model with a scripted peer, in virtual time: the
// pace of bulk-in reads, flow control between RxRing and the bulk-in pipe (pause, data held in RxBuffer,
// resume), the event character, a failed bulk-in read, and long streams in which the driver must not
// lose a byte.
#include "serial_stack.h"

#include <algorithm>
#include <atomic>
#include <random>

namespace porttest {
namespace {

constexpr ULONG MAX = MAXULONG;

class ReceiveTest : public SerialStackTest {
protected:
    void StartAt115200(StackOptions options = {}) {
        Start(options);
        SetBaudRate(115200);
        SetTimeouts(MAX, 0, 0);   // reads return at once with what the ring holds
    }
    // Reads whatever the ring holds, up to `max` bytes.
    std::vector<std::uint8_t> Take(std::size_t max) {
        Request r;
        Read(r, max);
        Wait(r);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        r.buffer.resize(r.Information());
        return r.buffer;
    }
    // RTS/CTS flow control between the adapter and the peer: the adapter's FIFO never overflows.
    void UseHardwareFlowControl() {
        SERIAL_HANDFLOW flow{};
        std::vector<std::uint8_t> out;
        ASSERT_EQ(ControlNow(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &out, sizeof flow), STATUS_SUCCESS);
        std::memcpy(&flow, out.data(), sizeof flow);
        flow.ControlHandShake = (flow.ControlHandShake & ~SERIAL_DTR_MASK) | SERIAL_CTS_HANDSHAKE;
        flow.FlowReplace = (flow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_HANDSHAKE;
        ASSERT_EQ(ControlNow(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow), STATUS_SUCCESS);
        ASSERT_TRUE(Adapter().Line().Settings().rtsCts);
    }
    std::size_t InPacketsSince(k::VirtualTime t) {
        return std::count_if(Adapter().inPackets.begin(), Adapter().inPackets.end(),
                             [t](const RecordingAdapter::Packet& p) { return p.at >= t; });
    }
    k::VirtualTime FirstInPacketAfter(k::VirtualTime t) {
        for (const auto& p : Adapter().inPackets)
            if (p.at > t) return p.at;
        ADD_FAILURE() << "no bulk-in data after " << t;
        return 0;
    }
};

// With RxPollPeriod 0 a read that brought data is followed by the next one at once: bytes that arrive
// 5 ms later are taken within the next frames. With RxPollPeriod 20 the next read starts 20 ms after
// the data, so the same bytes wait in the adapter until then.
TEST_F(ReceiveTest, PollPeriodZeroReadsAgainAtOnce) {
    StartAt115200();
    peer.Send(Pattern(10));
    RunFor(5 * kMs);
    k::VirtualTime first = Adapter().inPackets.back().at;
    peer.Send(Pattern(10, 10));
    RunFor(50 * kMs);
    EXPECT_LE(FirstInPacketAfter(first), first + 8 * kMs);
    EXPECT_EQ(Take(100), Pattern(20));
}

TEST_F(ReceiveTest, PollPeriodTwentyPausesAfterData) {
    StartAt115200(Settings({{"RxPollPeriod", 20}}));
    peer.Send(Pattern(10));
    RunFor(5 * kMs);
    k::VirtualTime first = Adapter().inPackets.back().at;
    peer.Send(Pattern(10, 10));
    RunFor(50 * kMs);
    k::VirtualTime second = FirstInPacketAfter(first);
    EXPECT_GE(second, first + 20 * kMs);
    EXPECT_LE(second, first + 22 * kMs);
    EXPECT_EQ(Take(100), Pattern(20));
}

// A 4096-byte ring: reception pauses once 3584 bytes or more are held (free space 512 or less) and
// the rest waits in the adapter; it resumes only when the readers have brought the ring down to 2048.
TEST_F(ReceiveTest, RingPausesReceptionAtItsLowRoomAndResumesAtItsHighLimit) {
    StartAt115200();
    const std::size_t sent = 3584 + 200;
    peer.Send(Pattern(sent));
    RunFor(500 * kMs);
    const std::size_t held = ext->RxRing.Count;
    EXPECT_GE(held, 3584u);
    EXPECT_LT(held, 3584u + 64u);
    EXPECT_FALSE(ext->RxEnabled);
    EXPECT_EQ(Adapter().Line().RxAvailable(), sent - held);

    std::vector<std::uint8_t> got = Take(held - 2049);   // 2049 left: still paused
    k::VirtualTime drained = Now();
    RunFor(100 * kMs);
    EXPECT_EQ(ext->RxRing.Count, 2049u);
    EXPECT_EQ(InPacketsSince(drained), 0u);

    auto more = Take(1);   // 2048 left: resumes
    got.insert(got.end(), more.begin(), more.end());
    RunFor(50 * kMs);
    EXPECT_EQ(ext->RxRing.Count, 2048u + (sent - held));
    EXPECT_EQ(Adapter().Line().RxAvailable(), 0u);
    more = Take(4096);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, Pattern(sent));
    EXPECT_EQ(Adapter().Line().Counters().overruns, 0u);
}

class HeldBurstTest : public ReceiveTest {
protected:
    // Pauses reception with the ring nearly full and 3000 more bytes waiting in the adapter, then
    // drains the ring to 2048: the next bulk-in read brings all 3000, of which 2048 fit.
    void HoldABurst(std::uint64_t seed = 0) {
        StackOptions options = seed ? RandomPolicy(seed) : StackOptions{};
        options.settings = {{"RxReqSize", 4096}};
        options.adapter.rxFifoSize = 4096;
        StartAt115200(options);
        peer.Send(Pattern(sent));
        RunFor(900 * kMs);
        ASSERT_FALSE(ext->RxEnabled);
        const std::size_t ringHeld = ext->RxRing.Count;
        ASSERT_GE(ringHeld, 3584u);
        inAdapter = sent - ringHeld;
        ASSERT_EQ(Adapter().Line().RxAvailable(), inAdapter);
        ASSERT_GT(inAdapter, 2048u);

        got = Take(ringHeld - 2048);
        RunFor(150 * kMs);   // one segment of 64 bytes per frame: the 3000 bytes take about 50 ms
        ASSERT_EQ(ext->RxRing.Count, 4096u);
        ASSERT_EQ(ext->RxPending, inAdapter - 2048);
        ASSERT_EQ(Adapter().Line().RxAvailable(), 0u);
    }
    const std::size_t sent = 3584 + 3000;
    std::size_t inAdapter = 0;
    std::vector<std::uint8_t> got;
};

// A bulk-in read that brings more than the ring has room for: the excess stays in RxBuffer, no new
// bulk-in read is issued while it is held, and it moves in as the readers make room.
TEST_F(HeldBurstTest, ExcessStaysInRxBufferAndMovesInAsReadersMakeRoom) {
    HoldABurst();
    k::VirtualTime heldSince = Now();
    peer.Send(Pattern(100, sent));   // waits in the adapter: nothing is read while bytes are held
    RunFor(100 * kMs);
    EXPECT_EQ(InPacketsSince(heldSince), 0u);
    EXPECT_EQ(ext->RxPending, inAdapter - 2048);

    for (int i = 0; i < 12 && got.size() < sent + 100; i++) {
        auto more = Take(1000);
        got.insert(got.end(), more.begin(), more.end());
        RunFor(50 * kMs);
    }
    EXPECT_EQ(got, Pattern(sent + 100));
    EXPECT_EQ(Adapter().Line().Counters().overruns, 0u);
}

// Held bytes survive a stop and a start of the engine (growing the receive queue stops and starts it):
// the restarted engine moves them in before it reads again.
TEST_F(HeldBurstTest, HeldBytesSurviveAQueueResize) {
    HoldABurst();
    SERIAL_QUEUE_SIZE size{8192, 4096};
    ASSERT_EQ(ControlNow(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size), STATUS_SUCCESS);
    RunFor(30 * kMs);
    EXPECT_EQ(ext->RxRing.Size, 8192u);
    EXPECT_EQ(ext->RxPending, inAdapter - 2048) << "still paused: the ring holds more than its high limit";

    auto more = Take(2048);   // down to 2048: the held bytes go in
    got.insert(got.end(), more.begin(), more.end());
    RunFor(50 * kMs);
    EXPECT_EQ(ext->RxPending, 0u);
    more = Take(8192);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, Pattern(sent));
}

// A receive purge drops what the engine holds back in RxBuffer as well: nothing received before the
// purge is read after it.
class HeldPurgeTest : public HeldBurstTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(HeldPurgeTest, PurgeRxClearDropsTheHeldBytesToo) {
    HoldABurst(GetParam());
    Purge(SERIAL_PURGE_RXCLEAR);
    RunFor(100 * kMs);
    EXPECT_EQ(ext->RxPending, 0u);
    EXPECT_EQ(ext->RxRing.Count, 0u) << "stale bytes moved into the purged ring";
    EXPECT_TRUE(Take(8192).empty());
    peer.Send(Pattern(10, 7000));
    RunFor(50 * kMs);
    EXPECT_EQ(Take(8192), Pattern(10, 7000));
}

INSTANTIATE_TEST_SUITE_P(Seeds, HeldPurgeTest, ::testing::Range<std::uint64_t>(0, 9));

TEST_F(ReceiveTest, EventCharacterRaisesRxFlagOncePerPutThatHoldsIt) {
    StartAt115200();
    SERIAL_CHARS chars{};
    chars.EventChar = '!';
    ASSERT_EQ(ControlNow(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars), STATUS_SUCCESS);
    SetWaitMask(SERIAL_EV_RXFLAG);

    Request wait;
    Control(wait, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    peer.Send(std::string_view("ab!!c!"));
    Wait(wait);
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(Ulong(wait), ULONG{SERIAL_EV_RXFLAG});

    Request next;
    Control(next, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    peer.Send(std::string_view("xyz"));
    RunFor(50 * kMs);
    EXPECT_FALSE(next.Done()) << "bytes without the event character raised RXFLAG";
    peer.Send(std::string_view("q!"));
    Wait(next);
    EXPECT_EQ(Ulong(next), ULONG{SERIAL_EV_RXFLAG});
    EXPECT_EQ(Take(100), std::vector<std::uint8_t>({'a', 'b', '!', '!', 'c', '!', 'x', 'y', 'z', 'q', '!'}));
}

// A failed bulk-in read parks the engine: nothing more is read until the port is opened again, while
// the bytes already in the ring stay readable.
TEST_F(ReceiveTest, BulkInErrorParksTheEngineAndTheRingStaysReadable) {
    StartAt115200();
    peer.Send(Pattern(10));
    RunFor(20 * kMs);
    Adapter().StallEndpoint(RecordingAdapter::kBulkIn);
    peer.Send(Pattern(5, 10));
    RunFor(100 * kMs);
    k::VirtualTime parked = Now();
    peer.Send(Pattern(5, 15));
    RunFor(100 * kMs);
    EXPECT_EQ(InPacketsSince(parked), 0u);
    EXPECT_TRUE(KeReadStateEvent(&ext->RxIdleEvent));
    EXPECT_FALSE(ext->RxStopped);

    EXPECT_EQ(Take(100), Pattern(10));
    EXPECT_TRUE(Take(100).empty());

    // Reopened, the engine runs again.
    Close();
    Open();
    SetBaudRate(115200);
    SetTimeouts(MAX, 0, 0);
    peer.Send(Pattern(7, 100));
    RunFor(20 * kMs);
    EXPECT_EQ(Take(100), Pattern(7, 100));
}

// A lack of memory is not an error of the device: a read that cannot be built, or that the pipe driver
// fails for want of memory of its own, is followed by another after a pause. Neither the receive engine
// nor status polling parks, so the open port keeps receiving and watching its lines without a reopen.
TEST_F(ReceiveTest, LackOfMemoryPausesTheEnginesInsteadOfParkingThem) {
    StartAt115200();
    constexpr ULONG kPipeTag = ULONG{'T'} | ULONG{'P'} << 8 | ULONG{'I'} << 16 | ULONG{'P'} << 24;
    struct Fault {
        k::FaultSite site;
        ULONG tag;
        const char* name;
    };
    const Fault faults[] = {{k::FaultSite::Irp, 0, "request"}, {k::FaultSite::Pool, kPipeTag, "pipe driver pool"}};
    std::size_t first = 0;
    for (const Fault& fault : faults) {
        for (unsigned n = 1; n <= 4; ++n) {
            SCOPED_TRACE(std::string(fault.name) + " #" + std::to_string(n));
            k::FailNth(fault.site, n, fault.tag);
            peer.Send(Pattern(6, first));
            RunFor(60 * kMs);
            EXPECT_EQ(k::FaultsInjected(), 1u);
            k::ClearFaults();
            peer.Send(Pattern(6, first + 6));
            RunFor(30 * kMs);
            EXPECT_EQ(Take(100), Pattern(12, first));
            const std::size_t polled = Adapter().statusPackets.size();
            RunFor(50 * kMs);
            EXPECT_GT(Adapter().statusPackets.size(), polled) << "status polling runs";
            first += 12;
        }
    }
}

// Long runs: the peer streams at 115200 baud for 60 virtual seconds while the application reads in a
// slow, irregular pattern, so that the ring keeps filling up and reception keeps pausing.
class ReceiveStreamTest : public ReceiveTest {
protected:
    // Reads for `duration` in bursts of random size with random pauses; returns what it got.
    std::vector<std::uint8_t> ReadIrregularly(k::VirtualTime duration, std::uint64_t seed) {
        std::mt19937_64 random(seed);
        std::vector<std::uint8_t> got;
        k::VirtualTime end = Now() + duration;
        while (Now() < end) {
            auto more = Take(1 + random() % 3000);
            got.insert(got.end(), more.begin(), more.end());
            RunFor((random() % 500) * kMs);
        }
        return got;
    }
    // Reads until nothing has arrived for a while.
    void Drain(std::vector<std::uint8_t>& got) {
        int quiet = 0;
        while (quiet < 5) {
            auto more = Take(4096);
            quiet = more.empty() ? quiet + 1 : 0;
            got.insert(got.end(), more.begin(), more.end());
            RunFor(50 * kMs);
        }
    }
    // Bytes of a long sequence that does not repeat within a run (a 16-bit maximal LFSR, low byte
    // and high byte alternately).
    static std::vector<std::uint8_t> Stream(std::size_t n) {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(n);
        std::uint16_t lfsr = 0xACE1;
        while (bytes.size() < n) {
            unsigned bit = ((lfsr >> 0) ^ (lfsr >> 2) ^ (lfsr >> 3) ^ (lfsr >> 5)) & 1u;
            lfsr = static_cast<std::uint16_t>((lfsr >> 1) | (bit << 15));
            bytes.push_back(static_cast<std::uint8_t>(lfsr));
            if (bytes.size() < n) bytes.push_back(static_cast<std::uint8_t>(lfsr >> 8));
        }
        return bytes;
    }
};

TEST_F(ReceiveStreamTest, WithFlowControlEveryByteArrivesOnceAndInOrder) {
    StartAt115200();
    UseHardwareFlowControl();

    const std::vector<std::uint8_t> sent = Stream(60 * 11520);
    peer.Send(sent);
    std::vector<std::uint8_t> got = ReadIrregularly(60 * k::kSecond, 1);
    Drain(got);
    EXPECT_EQ(peer.PendingToSend(), 0u);
    EXPECT_EQ(Adapter().Line().Counters().overruns, 0u);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

TEST_F(ReceiveStreamTest, WithoutFlowControlOnlyTheAdapterLosesBytes) {
    StartAt115200();
    const std::vector<std::uint8_t> sent = Stream(60 * 11520);
    peer.Send(sent);
    std::vector<std::uint8_t> got = ReadIrregularly(60 * k::kSecond, 2);
    Drain(got);
    std::uint64_t overruns = Adapter().Line().Counters().overruns;
    EXPECT_GT(overruns, 0u) << "the reader was too fast to fill the ring";
    EXPECT_EQ(got.size() + overruns, sent.size());
    // What arrived is the sent stream with only the overrun bytes missing: in order, nothing twice.
    std::size_t at = 0;
    for (std::uint8_t byte : got) {
        while (at < sent.size() && sent[at] != byte) at++;
        ASSERT_LT(at, sent.size()) << "a byte arrived out of order or twice";
        at++;
    }
}


// The engine stopped and started again and again (queue-size requests) while data streams in and the
// application reads, under the random policy: no byte is lost or repeated, and every stop returns.
class ReceiveRestartTest : public ReceiveStreamTest, public ::testing::WithParamInterface<std::uint64_t> {};

TEST_P(ReceiveRestartTest, StopsAndStartsWhileStreamingLoseNothing) {
    StackOptions options = RandomPolicy(GetParam());
    StartAt115200(options);
    UseHardwareFlowControl();
    const std::vector<std::uint8_t> sent = Stream(2 * 11520);
    peer.Send(sent);
    std::atomic<bool> done{false}, resizerDone{false};
    k::StartThread("resizer", [&] {
        for (ULONG size = 4096; !done; size += 512) {
            SERIAL_QUEUE_SIZE q{size, 4096};
            EXPECT_EQ(ControlNow(IOCTL_SERIAL_SET_QUEUE_SIZE, &q, sizeof q), STATUS_SUCCESS);
            RunFor(30 * kMs);
        }
        resizerDone = true;
    });
    std::vector<std::uint8_t> got = ReadIrregularly(3 * k::kSecond, GetParam());
    Drain(got);
    done = true;
    while (!resizerDone) RunFor(10 * kMs);
    EXPECT_EQ(Adapter().Line().Counters().overruns, 0u);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReceiveRestartTest, ::testing::Range<std::uint64_t>(1, 5));

}  // namespace
}  // namespace porttest
