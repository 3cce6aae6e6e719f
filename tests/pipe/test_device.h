// A USB device model for the pipe driver's tests: by default one vendor interface with bulk OUT 0x01,
// bulk IN 0x81 (64-byte packets), interrupt IN 0x82 and isochronous IN 0x83. The bulk IN endpoint
// serves packets a test queues (NAK while none is queued; a queued stall answers STALL once); OUT
// packets are recorded; class and vendor requests are recorded and answered with a reply the test sets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "usb/bus/usb_bus.h"
#include "usb/model/device_model.h"

namespace pipetest {

using Bytes = std::vector<std::uint8_t>;
using tarvel::usb::DeviceModel;
using tarvel::usb::DeviceBlueprint;
using tarvel::usb::EndpointBlueprint;
using tarvel::usb::EndpointType;
using tarvel::usb::Handshake;
using tarvel::usb::InterfaceBlueprint;
using tarvel::usb::Outcome;
using tarvel::usb::SetupPacket;

constexpr std::uint8_t kBulkOut = 0x01, kBulkIn = 0x81, kInterruptIn = 0x82, kIsochIn = 0x83;

inline DeviceBlueprint TestDeviceBlueprint(bool remoteWakeup = false) {
    DeviceBlueprint blueprint;
    blueprint.vendorId = 0x1209;
    blueprint.productId = 0x7E58;
    blueprint.remoteWakeup = remoteWakeup;
    InterfaceBlueprint i;
    i.interfaceClass = 0xFF;
    i.endpoints = {{kBulkOut, EndpointType::Bulk, 64, 0},
                   {kBulkIn, EndpointType::Bulk, 64, 0},
                   {kInterruptIn, EndpointType::Interrupt, 8, 1},
                   {kIsochIn, EndpointType::Isochronous, 32, 1}};
    blueprint.interfaces.push_back(i);
    return blueprint;
}

class TestDevice : public DeviceModel {
public:
    explicit TestDevice(DeviceBlueprint blueprint = TestDeviceBlueprint());

    // Bulk IN: each queued entry answers one IN packet.
    void QueueIn(Bytes packet) {
        in_.push_back(Entry{std::move(packet), false});
        NotifyActivity();
    }
    void QueueInBytes(std::size_t count, std::uint8_t first = 0);  // as full packets, then the rest
    void QueueStall() {
        in_.push_back(Entry{{}, true});
        NotifyActivity();
    }
    std::size_t QueuedIn() const { return in_.size(); }
    // While on, class and vendor requests are NAKed: the control transfer waits at the bus for ever.
    void NakRequests(bool on) {
        nakRequests_ = on;
        if (!on) NotifyActivity();
    }

    Bytes out;                     // every byte received on bulk OUT, in order
    std::vector<std::size_t> outPackets;  // size of each OUT packet
    unsigned inPacketsServed = 0;
    std::vector<SetupPacket> requests;    // class and vendor requests
    std::vector<Bytes> requestData;       // their host-to-device data
    Bytes reply{0xA1, 0xA2, 0xA3, 0xA4};  // device-to-host answer (cut to wLength)

protected:
    Outcome OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) override;
    Handshake OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
    Outcome OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) override;

private:
    struct Entry {
        Bytes bytes;
        bool stall;
    };
    std::deque<Entry> in_;
    bool nakRequests_ = false;
};

}  // namespace pipetest
