// The frame scheduler: bulk budget per (micro)frame, packet rules of IN and OUT transfers, stalls,
// interrupt intervals, isochronous frames and the absence of idle ticking; what it makes of a device
// that sends more or less than asked or stops answering: the bounds of the transfer's buffer hold and
// the transfer fails with the status the hardware reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "manual_clock.h"
#include "test_models.h"
#include "usb/hc/host_controller.h"

namespace tarvel::usb::test {
namespace {

struct Bench {
    ManualClock clock;
    BulkDevice device;
    HostController hc;
    explicit Bench(Speed speed = Speed::Full) : device(clock, BulkDeviceBlueprint(speed)), hc(device, clock) {
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

// The controller walks its schedule again within the frame: a transfer queued while budget is left
// moves in the same frame, and it is handed back at the end of the slot of its last packet, not at
// the frame's end, so a driver that resubmits from the completion loses no slot.
TEST(HostController, ATransferQueuedMidFrameMovesInThatFrameAndFinishesWithItsLastPacket) {
    Bench b;
    std::vector<std::uint8_t> data(128, 0x3C);  // two packets
    Transfer t = Bulk(false, data);
    b.clock.now = 5'000;  // half-way through frame 0: slot 10 of 19 starts at 5263
    ASSERT_EQ(b.hc.Submit(b.pipes[0], &t), usbd::kPending);
    std::vector<VirtualTime> finished;
    b.Run(kMs, [&](Transfer* done) {
        finished.push_back(b.clock.now);
        if (finished.size() < 4) b.hc.Submit(b.pipes[0], done);
    });
    // Slots 10-11, 12-13, 14-15, 16-17 of frame 0: each ends at 10000 * (slot + 1) / 19.
    EXPECT_EQ(finished, (std::vector<VirtualTime>{6'315, 7'368, 8'421, 9'473}));
    EXPECT_EQ(b.device.sunk, 4 * 128u);
}

// A NAK costs only its token and handshake, which fit in the frame beside the whole bulk budget: an IN
// pipe that has nothing takes no slot from a busy OUT pipe, and is tried again in the next frame.
TEST(HostController, ANakTakesNoSlotButKeepsItsPipeOutOfTheRestOfTheFrame) {
    for (Speed speed : {Speed::Full, Speed::High}) {
        Bench b(speed);
        std::vector<std::uint8_t> data(16384, 0x5A), in(512);
        Transfer out1 = Bulk(false, data), out2 = Bulk(false, data), read = Bulk(true, in);
        b.hc.Submit(b.pipes[0], &out1);
        b.hc.Submit(b.pipes[0], &out2);
        b.hc.Submit(b.pipes[1], &read);
        VirtualTime readDone = 0;
        b.Run(100 * kMs, [&](Transfer* t) {
            if (t == &read) readDone = b.clock.now;
            else b.hc.Submit(b.pipes[0], t);
        });
        const double budget = speed == Speed::High ? 53'248'000.0 : 1'216'000.0;
        EXPECT_NEAR(static_cast<double>(b.device.sunk) * 10, budget, budget * 0.001) << (speed == Speed::High);
        EXPECT_EQ(read.status, usbd::kPending);  // nothing came: it waits, costing nothing
        b.device.QueueIn(std::vector<std::uint8_t>(7, 1));
        b.hc.Activity();
        const VirtualTime queued = b.clock.now;
        b.Run(queued + 3 * b.hc.FrameDuration(), [&](Transfer* t) {
            if (t == &read) readDone = b.clock.now;
            else b.hc.Submit(b.pipes[0], t);
        });
        EXPECT_EQ(read.actual, 7u);
        EXPECT_GT(readDone, queued);
        EXPECT_LE(readDone, queued + 2 * b.hc.FrameDuration());  // by the end of the next frame
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
    // Bulk slots of 1/19 ms: eligible from the slot that starts at 1.2631 ms, tried at its end.
    EXPECT_EQ(b.hc.NextDue(), 13'157);
    b.clock.now = 13'157;
    EXPECT_TRUE(b.hc.RunFrame().empty());  // NAK
    EXPECT_FALSE(b.hc.NextDue());
    b.clock.now = 60 * kSec + 4'000;  // a minute of nothing costs nothing
    b.device.QueueIn(std::vector<std::uint8_t>(5, 1));
    b.hc.Activity();
    EXPECT_EQ(b.hc.NextDue(), 60 * kSec + 4'210);  // the end of the slot under way
    b.clock.now = 60 * kSec + 4'210;
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

// A transfer buffer followed by guard bytes that no transfer may touch.
struct Guarded {
    static constexpr std::size_t kGuard = 96;
    static constexpr std::uint8_t kCanary = 0xCC;
    std::vector<std::uint8_t> bytes;
    explicit Guarded(std::size_t length) : bytes(length + kGuard, kCanary), length(length) {}
    std::size_t length;
    std::uint8_t* data() { return bytes.data(); }
    bool GuardIntact() const {
        return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(length), bytes.end(), [](std::uint8_t b) { return b == kCanary; });
    }
};

Transfer BulkIn(Guarded& buffer, std::uint8_t endpoint = 0x81) {
    Transfer t;
    t.type = EndpointType::Bulk, t.endpoint = endpoint, t.in = true, t.shortOk = true;
    t.buffer = buffer.data();
    t.length = static_cast<std::uint32_t>(buffer.length);
    return t;
}

Transfer ControlIn(Guarded& buffer, std::uint8_t descriptorType) {
    Transfer t;
    t.type = EndpointType::Control, t.endpoint = 0, t.in = true, t.shortOk = true;
    t.buffer = buffer.data();
    t.length = static_cast<std::uint32_t>(buffer.length);
    t.setup = SetupPacket{0x80, kStdGetDescriptor, static_cast<std::uint16_t>(descriptorType << 8), 0,
                          static_cast<std::uint16_t>(buffer.length)};
    return t;
}

// The host cannot ask a device for less than a packet: near a transfer's end the device still sends
// its whole packet, and one that does not fit the room left overruns the buffer as on hardware.
TEST(HostController, AnInPacketPastWhatWasAskedForEndsTheTransferAndNothingLandsBeyondTheBuffer) {
    struct Case {
        std::size_t length;
        std::size_t queued;  // the packet the device has
        std::uint32_t extra; // junk a length fault adds to it
        std::int32_t status;
        std::uint32_t actual;
    };
    for (const Case& c : {Case{256, 64, 1, usbd::kBabbleDetected, 64},       // a full packet plus one byte
                          Case{36, 40, 0, usbd::kDataOverrun, 36},           // a sound packet past the buffer
                          Case{36, 20, 20, usbd::kDataOverrun, 36},          // within the packet size, past the buffer
                          Case{36, 64, 40, usbd::kBabbleDetected, 36},       // past both
                          Case{36, 64, 100000, usbd::kBabbleDetected, 36}}) {  // far past the receive buffer
        Bench b;
        Guarded buffer(c.length), other(64);
        Transfer t = BulkIn(buffer), behind = BulkIn(other);
        b.hc.Submit(b.pipes[1], &t);
        b.hc.Submit(b.pipes[1], &behind);
        b.device.QueueIn(std::vector<std::uint8_t>(c.queued, 0x11));
        if (c.extra) b.device.OversizeIn(0x81, c.extra);
        b.Run(10 * kMs);
        EXPECT_EQ(t.status, c.status) << c.length << ": " << c.queued << "+" << c.extra;
        EXPECT_EQ(t.actual, c.actual) << c.length << ": " << c.queued << "+" << c.extra;
        EXPECT_TRUE(buffer.GuardIntact()) << c.length << ": " << c.queued << "+" << c.extra;
        EXPECT_EQ(buffer.bytes[std::min<std::size_t>(c.actual, c.queued) - 1], 0x11);
        // The pipe halts as on a STALL: what waits behind fails, and so does what comes, until a reset.
        EXPECT_EQ(behind.status, usbd::kEndpointHalted);
        EXPECT_EQ(b.hc.Submit(b.pipes[1], &behind), usbd::kEndpointHalted);
        EXPECT_EQ(b.device.Misbehaviours(), c.extra ? 1u : 0u);
    }
}

TEST(HostController, AControlDataStagePastWLengthFailsOnlyThatTransferAndShortOnesSucceed) {
    Bench b;
    const std::vector<std::uint8_t> device = b.device.DeviceDescriptor();
    struct Case {
        std::size_t length;
        std::uint32_t extra;  // 0: cut to `limit` instead
        std::uint32_t limit;
        std::int32_t status;
        std::uint32_t actual;
    };
    // The configuration descriptor is 46 bytes: junk after it that still fits wLength is data to the host.
    for (const Case& c : {Case{18, 4, 0, usbd::kDataOverrun, 18}, Case{18, 60, 0, usbd::kBabbleDetected, 18},
                          Case{64, 18, 0, usbd::kSuccess, 64}, Case{64, 19, 0, usbd::kBabbleDetected, 64},
                          Case{18, 0, 7, usbd::kSuccess, 7}, Case{18, 0, 0, usbd::kSuccess, 0}}) {
        const bool config = c.length == 64;
        if (c.extra) b.device.OversizeIn(0, c.extra);
        else b.device.ShortIn(0, c.limit);
        Guarded buffer(c.length), again(18);
        Transfer t = ControlIn(buffer, config ? 2 : 1), next = ControlIn(again, 1);
        b.hc.Submit(b.hc.DefaultPipe(), &t);
        b.hc.Submit(b.hc.DefaultPipe(), &next);
        b.Run(b.clock.now + 10 * kMs);
        EXPECT_EQ(t.status, c.status) << c.length << " " << c.extra << " " << c.limit;
        EXPECT_EQ(t.actual, c.actual) << c.length << " " << c.extra << " " << c.limit;
        EXPECT_TRUE(buffer.GuardIntact()) << c.length << " " << c.extra;
        if (!config) {
            EXPECT_TRUE(std::equal(buffer.bytes.begin(), buffer.bytes.begin() + t.actual, device.begin()));
        }
        // The default pipe does not halt: the next setup starts afresh.
        EXPECT_EQ(next.status, usbd::kSuccess);
        EXPECT_EQ(next.actual, 18u);
    }
}

TEST(HostController, ADeviceThatLeavesBetweenTwoPacketsFailsTheTransferWithWhatArrivedAndThenEverything) {
    Bench b;
    Guarded buffer(256);
    Transfer t = BulkIn(buffer);
    b.hc.Submit(b.pipes[1], &t);
    for (std::uint8_t i = 1; i <= 4; ++i) b.device.QueueIn(std::vector<std::uint8_t>(64, i));
    b.device.DisconnectAfter(2, 0x81);
    b.Run(10 * kMs);
    EXPECT_TRUE(b.device.Detached());
    EXPECT_EQ(t.status, usbd::kDevNotResponding);
    EXPECT_EQ(t.actual, 128u);
    EXPECT_EQ(buffer.bytes[127], 2);
    EXPECT_EQ(buffer.bytes[128], Guarded::kCanary);  // nothing of the packets it never sent

    std::vector<std::uint8_t> out(64, 7);
    Transfer write = Bulk(false, out);
    Guarded descriptor(18);
    Transfer control = ControlIn(descriptor, 1);
    b.hc.Submit(b.pipes[0], &write);
    b.hc.Submit(b.hc.DefaultPipe(), &control);
    b.Run(20 * kMs);
    EXPECT_EQ(write.status, usbd::kDevNotResponding);
    EXPECT_EQ(control.status, usbd::kDevNotResponding);
    EXPECT_EQ(b.device.sunk, 0u);
    EXPECT_FALSE(b.hc.NextDue());  // a silent device keeps nothing ticking
}

TEST(HostController, IsochronousPacketsPastTheirSizeFailAloneAndStayInTheirSlot) {
    Bench b;
    Guarded iso(96);
    Transfer t;
    t.type = EndpointType::Isochronous, t.endpoint = 0x84, t.in = true, t.buffer = iso.data(), t.length = 96;
    t.packets = {{0, 0, 0}, {32, 0, 0}, {64, 0, 0}};
    b.hc.Submit(b.pipes[3], &t);
    b.Run(b.clock.now + kMs);
    b.device.OversizeIn(0x84, 5);  // the second packet: past the packet size
    b.Run(b.clock.now + kMs);
    b.device.OversizeIn(0x84, 20);
    b.Run(20 * kMs);
    EXPECT_EQ(t.status, usbd::kSuccess);
    EXPECT_EQ(t.isoErrors, 2u);
    EXPECT_EQ(t.packets[0].status, usbd::kSuccess);
    EXPECT_EQ(t.packets[1].status, usbd::kBabbleDetected);
    EXPECT_EQ(t.packets[2].status, usbd::kBabbleDetected);
    EXPECT_EQ(t.packets[1].length, 32u);
    EXPECT_EQ(t.actual, 96u);
    EXPECT_TRUE(iso.GuardIntact());
}

TEST(HostController, APacketSizeTheDescriptorLiedAboutBabblesWhenSmallerAndEndsShortWhenLarger) {
    ManualClock clock;
    BulkDevice device(clock);
    device.Control(SetupPacket{0x00, kStdSetConfiguration, 1, 0, 0}, {});
    HostController hc(device, clock);
    HostController::Pipe* small = hc.AddPipe({0x81, EndpointType::Bulk, 8, 0});
    Guarded a(256);
    Transfer t = BulkIn(a);
    hc.Submit(small, &t);
    device.QueueIn(std::vector<std::uint8_t>(64, 3));
    clock.now = kMs;
    hc.RunFrame();
    EXPECT_EQ(t.status, usbd::kBabbleDetected);
    EXPECT_EQ(t.actual, 8u);
    EXPECT_TRUE(a.GuardIntact());

    hc.RemovePipes();
    HostController::Pipe* large = hc.AddPipe({0x81, EndpointType::Bulk, 128, 0});
    Guarded c(256);
    Transfer u = BulkIn(c);
    u.shortOk = false;
    hc.Submit(large, &u);
    device.QueueIn(std::vector<std::uint8_t>(64, 4));
    device.QueueIn(std::vector<std::uint8_t>(64, 5));
    clock.now = 3 * kMs;
    hc.RunFrame();
    EXPECT_EQ(u.status, usbd::kDataUnderrun);  // a 64-byte packet is short on a 128-byte pipe
    EXPECT_EQ(u.actual, 64u);
}

// Random misbehaviour against every kind of IN transfer: whatever the device does, nothing lands past
// a buffer, no transfer reports more than its length, and an overlong packet never passes as success.
TEST(HostController, RandomLengthFaultsNeverBreakTheBufferBoundsOrPassAsSuccess) {
    Bench b;
    b.device.Misbehave(20261208, MisbehaviourOdds{.oversize = 0.2, .shortPacket = 0.2, .zeroLength = 0.1});
    std::mt19937_64 rng(7);
    std::set<std::int32_t> seen;
    for (int round = 0; round < 400; ++round) {
        const int kind = static_cast<int>(rng() % 3);
        Guarded buffer(1 + rng() % 200);
        Transfer t;
        HostController::Pipe* pipe = b.pipes[1];
        if (kind == 0) {
            t = BulkIn(buffer);
            for (std::size_t n = 0; n < buffer.length; n += 64) b.device.QueueIn(std::vector<std::uint8_t>(64, 0x5A));
        } else if (kind == 1) {
            buffer = Guarded(std::min<std::size_t>(buffer.length, 255));
            t = ControlIn(buffer, rng() % 2 ? 1 : 2);
            pipe = b.hc.DefaultPipe();
        } else {
            buffer = Guarded(64);
            t.type = EndpointType::Isochronous, t.endpoint = 0x84, t.in = true, t.buffer = buffer.data(), t.length = 64;
            t.packets = {{0, 0, 0}, {32, 0, 0}};
            pipe = b.pipes[3];
        }
        ASSERT_EQ(b.hc.Submit(pipe, &t), usbd::kPending);
        b.Run(b.clock.now + 20 * kMs);
        ASSERT_NE(t.status, usbd::kPending) << round;
        EXPECT_TRUE(buffer.GuardIntact()) << round;
        EXPECT_LE(t.actual, t.length) << round;
        seen.insert(t.status);
        if (kind == 0 && t.status == usbd::kSuccess) {  // the junk of an overlong packet is never data
            EXPECT_TRUE(std::all_of(buffer.bytes.begin(), buffer.bytes.begin() + t.actual, [](std::uint8_t v) { return v == 0x5A; })) << round;
        }
        for (const IsoPacketResult& p : t.packets) {
            seen.insert(p.status);
            EXPECT_LE(p.length, 32u);
        }
        b.hc.ClearHalt(b.pipes[1]);
    }
    EXPECT_TRUE(seen.count(usbd::kBabbleDetected));
    EXPECT_TRUE(seen.count(usbd::kDataOverrun));
    EXPECT_TRUE(seen.count(usbd::kSuccess));
    for (std::int32_t status : seen)
        EXPECT_TRUE(status == usbd::kSuccess || status == usbd::kBabbleDetected || status == usbd::kDataOverrun ||
                    status == usbd::kIsochRequestFailed) << std::hex << status;
}

}  // namespace
}  // namespace tarvel::usb::test
