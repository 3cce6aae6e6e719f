#include "test_device.h"

namespace pipetest {

TestDevice::TestDevice(DeviceBlueprint blueprint) : DeviceModel(std::move(blueprint), tarvel::usb::KernelClock()) {}

void TestDevice::QueueInBytes(std::size_t count, std::uint8_t first) {
    const std::size_t packet = 64;
    std::uint8_t value = first;
    while (count > 0) {
        const std::size_t n = std::min(count, packet);
        Bytes bytes(n);
        for (auto& b : bytes) b = value++;
        in_.push_back(Entry{std::move(bytes), false});
        count -= n;
    }
    NotifyActivity();
}

Outcome TestDevice::OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) {
    if (nakRequests_) return Outcome{Handshake::Nak, 0};
    requests.push_back(setup);
    if (!setup.DeviceToHost()) {
        requestData.emplace_back(data.begin(), data.end());
        return Outcome{Handshake::Ack, static_cast<std::uint32_t>(data.size())};
    }
    requestData.emplace_back();
    const std::size_t n = std::min(data.size(), reply.size());
    std::copy_n(reply.begin(), n, data.begin());
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
}

Handshake TestDevice::OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    if (endpoint != kBulkOut) return Handshake::Stall;
    out.insert(out.end(), packet.begin(), packet.end());
    outPackets.push_back(packet.size());
    return Handshake::Ack;
}

Outcome TestDevice::OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) {
    if (endpoint == kInterruptIn) {
        room[0] = 0x5A;
        return Outcome{Handshake::Ack, 1};
    }
    if (endpoint == kIsochIn) {
        for (std::size_t i = 0; i < room.size(); ++i) room[i] = static_cast<std::uint8_t>(i);
        return Outcome{Handshake::Ack, static_cast<std::uint32_t>(room.size())};
    }
    if (endpoint != kBulkIn || in_.empty()) return Outcome{Handshake::Nak, 0};
    Entry entry = std::move(in_.front());
    in_.pop_front();
    if (entry.stall) return Outcome{Handshake::Stall, 0};
    ++inPacketsServed;
    const std::size_t n = std::min(entry.bytes.size(), room.size());
    std::copy_n(entry.bytes.begin(), n, room.begin());
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
}

}  // namespace pipetest
