// A small device model for bus and host-controller tests: a bulk sink (OUT 0x01), a bulk source that
// serves the packets a test queues (IN 0x81, NAK when none), an interrupt source (IN 0x83) and an
// isochronous source (IN 0x84) that answers every frame.
#pragma once

#include <deque>
#include <vector>

#include "usb/model/device_model.h"

namespace tarvel::usb::test {

inline DeviceBlueprint BulkDeviceBlueprint(Speed speed = Speed::Full) {
    const std::uint16_t bulk = speed == Speed::High ? 512 : 64;
    DeviceBlueprint blueprint;
    blueprint.vendorId = 0x1209;
    blueprint.productId = 0x7E57;
    blueprint.speed = speed;
    InterfaceBlueprint i;
    i.endpoints = {{0x01, EndpointType::Bulk, bulk, 0},
                   {0x81, EndpointType::Bulk, bulk, 0},
                   {0x83, EndpointType::Interrupt, 8, 4},
                   {0x84, EndpointType::Isochronous, 32, 1}};
    blueprint.interfaces.push_back(i);
    return blueprint;
}

class BulkDevice : public DeviceModel {
public:
    BulkDevice(const Clock& clock, DeviceBlueprint blueprint = BulkDeviceBlueprint()) : DeviceModel(std::move(blueprint), clock) {}

    void QueueIn(std::vector<std::uint8_t> packet) {
        in_.push_back(std::move(packet));
        NotifyActivity();
    }
    std::uint64_t sunk = 0;
    std::vector<std::uint8_t> lastOut;
    unsigned zeroLengthOuts = 0;
    unsigned interruptPolls = 0;
    std::vector<SetupPacket> vendorRequests;
    std::vector<std::uint8_t> vendorReply{1, 2, 3, 4};

protected:
    Handshake OnOut(std::uint8_t ep, std::span<const std::uint8_t> packet) override {
        if (ep != 0x01) return Handshake::Stall;
        sunk += packet.size();
        lastOut.assign(packet.begin(), packet.end());
        if (packet.empty()) ++zeroLengthOuts;
        return Handshake::Ack;
    }
    Outcome OnIn(std::uint8_t ep, std::span<std::uint8_t> room) override {
        if (ep == 0x83) {
            ++interruptPolls;
            room[0] = static_cast<std::uint8_t>(interruptPolls);
            return Outcome{Handshake::Ack, 1};
        }
        if (ep == 0x84) {
            for (std::size_t i = 0; i < room.size(); ++i) room[i] = static_cast<std::uint8_t>(i);
            return Outcome{Handshake::Ack, static_cast<std::uint32_t>(room.size())};
        }
        if (ep != 0x81 || in_.empty()) return Outcome{Handshake::Nak, 0};
        std::vector<std::uint8_t> p = std::move(in_.front());
        in_.pop_front();
        const std::size_t n = std::min(p.size(), room.size());
        std::copy_n(p.begin(), n, room.begin());
        return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
    }
    Outcome OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) override {
        vendorRequests.push_back(setup);
        if (!setup.DeviceToHost()) return Outcome{Handshake::Ack, static_cast<std::uint32_t>(data.size())};
        const std::size_t n = std::min(data.size(), vendorReply.size());
        std::copy_n(vendorReply.begin(), n, data.begin());
        return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
    }

private:
    std::deque<std::vector<std::uint8_t>> in_;
};

}  // namespace tarvel::usb::test
