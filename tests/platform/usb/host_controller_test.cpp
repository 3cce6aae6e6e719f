// The frame scheduler: bulk budget per (micro)frame, packet rules of IN and OUT transfers, stalls,
// interrupt intervals, isochronous frames and the absence of idle ticking.
#include <gtest/gtest.h>

#include <functional>

#include "manual_clock.h"
#include "test_models.h"
#include "usb/hc/host_controller.h"

namespace tarvel::usb::test {
namespace {

struct Bench {
    ManualClock clock;
    BulkDevice device;
    HostController hc;
    explicit Bench(Speed speed = Speed::Full) : device(clock, BulkDeviceSpec(speed)), hc(device, clock) {
        SetupPacket set{0x00, kStdSetConfiguration, 1, 0, 0};
        device.Control(set, {});
        for (const auto& e : device.Blueprint().interfaces[0].endpoints) pipes.push_back(hc.AddPipe(e));
    }
    std::vector<HostController::Pipe*> pipes;  // 0x01, 0x81, 0x83, 0x84

    // Runs frames as the bus's timer would until `until` or nothing is due; `done` sees each finished
    // transfer at its frame end.
    void Run(VirtualTime until, const std::function<void(Transfer*)>& done = {}) {
        while (auto due = hc.NextDue()) {
            if (*due > until) break;
            clock.now = *due;
            for (Transfer* t : hc.RunFrame())
                if (done) done(t);
        }
        clock.now = std::max(clock.now, until);
    }
};

Transfer Bulk(bool in, std::vector<std::uint8_t>& buffer, bool shortOk = true) {
    Transfer t;
    t.type = EndpointType::Bulk;
    t.endpoint = in ? 0x81 : 0x01;
    t.in = in;
    t.buffer = buffer.data();
    t.length = static_cast<std::uint32_t>(buffer.size());
    t.shortOk = shortOk;
    return t;
}

TEST(HostController, SaturatingBulkLoopReachesTheBusBudgetAndNoMore) {
    struct Case { Speed speed; double budget; };
    for (const Case& c : {Case{Speed::Full, 1'216'000.0}, Case{Speed::High, 53'248'000.0}}) {
        Bench b(c.speed);
        std::vector<std::uint8_t> data(16384, 0xA5);
        Transfer t1 = Bulk(false, data), t2 = Bulk(false, data);
        ASSERT_EQ(b.hc.Submit(b.pipes[0], &t1), usbd::kPending);
        ASSERT_EQ(b.hc.Submit(b.pipes[0], &t2), usbd::kPending);
        std::uint64_t completedBytes = 0;
        b.Run(kSec, [&](Transfer* t) {
            EXPECT_EQ(t->status, usbd::kSuccess);
            completedBytes += t->actual;
            b.hc.Submit(b.pipes[0], t);  // resubmitted from the completion, as a driver keeps its pipe busy
        });
        const double rate = static_cast<double>(b.device.sunk);
        EXPECT_NEAR(rate, c.budget, c.budget * 0.01);
        EXPECT_LE(rate, c.budget);
        EXPECT_LE(completedBytes, b.device.sunk);
    }
}

TEST(HostController, InTransfersEndOnAFullBufferAShortPacketOrAZeroLengthPacket) {
    Bench b;
    std::vector<std::uint8_t> buffer(256);
    Transfer t = Bulk(true, buffer);
    b.hc.Submit(b.pipes[1], &t);
    b.device.QueueIn(std::vector<std::uint8_t>(64, 1));
    b.device.QueueIn(std::vector<std::uint8_t>(64, 2));
    b.device.QueueIn(std::vector<std::uint8_t>(10, 3));
    b.device.QueueIn(std::vector<std::uint8_t>(64, 4));  // left for the next transfer
    b.Run(10 * kMs);
    EXPECT_EQ(t.status, usbd::kSuccess);
    EXPECT_EQ(t.actual, 138u);
    EXPECT_EQ(buffer[137], 3);

    Transfer zlp = Bulk(true, buffer);
    b.hc.Submit(b.pipes[1], &zlp);
    b.device.QueueIn({});
    b.Run(20 * kMs);
    EXPECT_EQ(zlp.status, usbd::kSuccess);
    EXPECT_EQ(zlp.actual, 64u);

    std::vector<std::uint8_t> exact(128);
    Transfer full = Bulk(true, exact);
    b.hc.Submit(b.pipes[1], &full);
    b.device.QueueIn(std::vector<std::uint8_t>(64, 5));
    b.device.QueueIn(std::vector<std::uint8_t>(64, 6));
    b.device.QueueIn(std::vector<std::uint8_t>(64, 7));  // not asked for: stays with the device
    b.Run(30 * kMs);
    EXPECT_EQ(full.actual, 128u);

    Transfer strict = Bulk(true, buffer, false);  // without USBD_SHORT_TRANSFER_OK a short packet is an error
    b.hc.Submit(b.pipes[1], &strict);
    b.device.QueueIn(std::vector<std::uint8_t>(10, 8));
    b.Run(40 * kMs);
    EXPECT_EQ(strict.status, usbd::kDataUnderrun);
    EXPECT_EQ(strict.actual, 74u);
}

TEST(HostController, StallFailsTheTransferAndEverythingBehindItUntilTheHaltIsCleared) {
    Bench b;
    std::vector<std::uint8_t> buffer(64);
    Transfer first = Bulk(true, buffer), second = Bulk(true, buffer);
    b.hc.Submit(b.pipes[1], &first);
    b.hc.Submit(b.pipes[1], &second);
    b.device.StallEndpoint(0x81);
    b.hc.Activity();
    b.Run(5 * kMs);
    EXPECT_EQ(first.status, usbd::kStallPid);
    EXPECT_EQ(second.status, usbd::kEndpointHalted);
    Transfer third = Bulk(true, buffer);
    EXPECT_EQ(b.hc.Submit(b.pipes[1], &third), usbd::kEndpointHalted);

    b.hc.ClearHalt(b.pipes[1]);  // host side only: the device still stalls
    b.hc.Submit(b.pipes[1], &third);
    b.Run(10 * kMs);
    EXPECT_EQ(third.status, usbd::kStallPid);

    b.hc.ClearHalt(b.pipes[1]);
    SetupPacket clear{0x02, kStdClearFeature, kFeatureEndpointHalt, 0x81, 0};
    ASSERT_EQ(b.device.Control(clear, {}).handshake, Handshake::Ack);
    Transfer fourth = Bulk(true, buffer);
    b.hc.Submit(b.pipes[1], &fourth);
    b.device.QueueIn(std::vector<std::uint8_t>(64, 9));
    b.Run(20 * kMs);
    EXPECT_EQ(fourth.status, usbd::kSuccess);
}

TEST(HostController, NothingTicksWhileIdleOrWaitingOnASilentDevice) {
    Bench b;
    EXPECT_FALSE(b.hc.NextDue());
    std::vector<std::uint8_t> buffer(64);
    Transfer t = Bulk(true, buffer);
    b.clock.now = 12'345;
    b.hc.Submit(b.pipes[1], &t);
    EXPECT_EQ(b.hc.NextDue(), 3 * kMs);  // eligible from the frame starting at 2 ms, done at its end
    b.clock.now = 3 * kMs;
    EXPECT_TRUE(b.hc.RunFrame().empty());  // NAK
    EXPECT_FALSE(b.hc.NextDue());
    b.clock.now = 60 * kSec + 4'000;  // a minute of nothing costs nothing
    b.device.QueueIn(std::vector<std::uint8_t>(5, 1));
    b.hc.Activity();
    EXPECT_EQ(b.hc.NextDue(), 60 * kSec + kMs);
    b.clock.now = 60 * kSec + kMs;
    ASSERT_EQ(b.hc.RunFrame().size(), 1u);
    EXPECT_EQ(t.actual, 5u);
}

TEST(HostController, InterruptPipesArePolledAtTheirIntervalAndIsoPacketsOnePerFrame) {
    Bench b;
    std::vector<std::uint8_t> one(1);
    std::vector<VirtualTime> completions;
    Transfer poll;
    poll.type = EndpointType::Interrupt, poll.endpoint = 0x83, poll.in = true, poll.buffer = one.data(), poll.length = 1;
    b.hc.Submit(b.pipes[2], &poll);
    b.Run(20 * kMs, [&](Transfer* t) {
        completions.push_back(b.clock.now);
        if (completions.size() < 3) b.hc.Submit(b.pipes[2], t);
    });
    EXPECT_EQ(completions, (std::vector<VirtualTime>{1 * kMs, 5 * kMs, 9 * kMs}));  // frames 0, 4, 8

    std::vector<std::uint8_t> iso(96);
    Transfer t;
    t.type = EndpointType::Isochronous, t.endpoint = 0x84, t.in = true, t.buffer = iso.data(), t.length = 96;
    t.packets = {{0, 0, 0}, {32, 0, 0}, {64, 0, 0}};
    t.isoAsap = false;
    t.isoStartFrame = b.hc.CurrentFrameNumber() + 5;
    const std::uint32_t start = t.isoStartFrame;
    ASSERT_EQ(b.hc.Submit(b.pipes[3], &t), usbd::kPending);
    VirtualTime finished = 0;
    b.Run(60 * kMs, [&](Transfer*) { finished = b.clock.now; });
    EXPECT_EQ(finished, (start + 3) * kMs);
    EXPECT_EQ(t.status, usbd::kSuccess);
    EXPECT_EQ(t.actual, 96u);
    EXPECT_EQ(t.packets[2].length, 32u);
    Transfer late = t;
    late.isoStartFrame = b.hc.CurrentFrameNumber() - 1;
    EXPECT_EQ(b.hc.Submit(b.pipes[3], &late), usbd::kBadStartFrame);
}

}  // namespace
}  // namespace tarvel::usb::test
