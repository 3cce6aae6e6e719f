// When a NAKed pipe is tried again. The controller skips idle frames by asking the device when its
// answer may change; a controller on the wire retries a NAKed IN token in the next (micro)frame at the
// latest. Skipping must not change what the wire would show, also when another packet to the device
// (the status poll) has brought the device's state up to date before the NAKed pipe is tried again.
#include <gtest/gtest.h>

#include <functional>

#include "manual_clock.h"
#include "usb/hc/host_controller.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

struct AdapterBench {
    ManualClock clock;
    SerialAdapter adapter;
    ScriptedPeer peer;
    HostController hc;
    HostController::Pipe* bulkIn = nullptr;
    HostController::Pipe* status = nullptr;

    explicit AdapterBench(Speed speed) : adapter(clock, {.speed = speed}), hc(adapter, clock) {
        SetupPacket set{0x00, kStdSetConfiguration, 1, 0, 0};
        adapter.Control(set, {});
        for (const auto& e : adapter.Blueprint().interfaces[0].endpoints) {
            HostController::Pipe* pipe = hc.AddPipe(e);
            if (e.address == SerialAdapter::kBulkIn) bulkIn = pipe;
            if (e.address == SerialAdapter::kStatusIn) status = pipe;
        }
        adapter.Connect(&peer);
        Vendor({SerialAdapter::kPortEnable, 1});
        Vendor({SerialAdapter::kLineSettings, 0x07});  // 115200 8N1
    }
    void Vendor(std::vector<std::uint8_t> payload) {
        SetupPacket setup{0x40, SerialAdapter::kVendorRequest, 0, 0, static_cast<std::uint16_t>(payload.size())};
        ASSERT_EQ(adapter.Control(setup, payload).handshake, Handshake::Ack);
    }
    // Runs the controller as the bus's timer does: at each time it says it is due, until `until`.
    void Run(VirtualTime until, const std::function<void(Transfer*)>& done) {
        while (auto due = hc.NextDue()) {
            if (*due > until) break;
            clock.now = *due;
            for (Transfer* t : hc.RunFrame()) done(t);
        }
        clock.now = std::max(clock.now, until);
    }
};

Transfer In(EndpointType type, std::uint8_t endpoint, std::vector<std::uint8_t>& buffer) {
    Transfer t;
    t.type = type;
    t.endpoint = endpoint;
    t.in = true;
    t.buffer = buffer.data();
    t.length = static_cast<std::uint32_t>(buffer.size());
    t.shortOk = true;
    return t;
}

// A byte reaches the adapter's FIFO after the bulk-IN read was NAKed in this (micro)frame; at the
// frame's end the status poll (an interrupt transfer queued once, as the port driver queues one every
// 10 ms) reads the adapter, which takes the byte into its FIFO on the way. The read must still get the
// byte in the next (micro)frame, not at whatever transfer next runs the controller.
TEST(NakRetry, ABulkInReadNakedBeforeDataArrivedGetsItInTheNextFrameThoughTheStatusPollSawTheDeviceFirst) {
    for (Speed speed : {Speed::Full, Speed::High}) {
        SCOPED_TRACE(speed == Speed::High ? "high speed" : "full speed");
        AdapterBench b(speed);
        const VirtualTime frame = b.hc.FrameDuration();
        b.clock.now = 8 * frame;  // a frame the status pipe's 1 ms interval falls on at either speed
        std::vector<std::uint8_t> data(64), statusByte(16);
        Transfer read = In(EndpointType::Bulk, SerialAdapter::kBulkIn, data);
        Transfer poll = In(EndpointType::Interrupt, SerialAdapter::kStatusIn, statusByte);
        ASSERT_EQ(b.hc.Submit(b.bulkIn, &read), usbd::kPending);
        ASSERT_EQ(b.hc.Submit(b.status, &poll), usbd::kPending);
        b.peer.Send("A");
        b.hc.Activity();  // what the bus does when the adapter reports the far side's byte
        const VirtualTime landed = b.clock.now + 868;  // 10 bits at 115200 baud
        ASSERT_LT(landed, 9 * frame);                   // in the frame of the NAK, before the status poll

        VirtualTime readDone = 0, pollDone = 0;
        b.Run(b.clock.now + 100 * frame, [&](Transfer* t) {
            if (t == &read) readDone = b.clock.now;
            if (t == &poll) pollDone = b.clock.now;
        });
        EXPECT_EQ(pollDone, 9 * frame);
        ASSERT_EQ(read.status, usbd::kSuccess);
        ASSERT_EQ(read.actual, 1u);
        EXPECT_EQ(data[0], 'A');
        EXPECT_GT(readDone, landed);
        EXPECT_LE(readDone, landed + 2 * frame);
    }
}

}  // namespace
}  // namespace tarvel::usb::test
