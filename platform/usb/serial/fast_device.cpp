#include "usb/serial/fast_device.h"

namespace tarvel::usb {

namespace {
DeviceBlueprint FastBlueprint(const SerialAdapterOptions& options) {
    DeviceBlueprint blueprint = SerialAdapter::MakeBlueprint(options);
    blueprint.product = "USB fast serial bridge";
    blueprint.serialNumber = "TF000001";
    return blueprint;
}
}  // namespace

FastDevice::FastDevice(const Clock& clock, SerialAdapterOptions options)
    : DeviceModel(FastBlueprint(options), clock) {}

Outcome FastDevice::OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const Outcome o = commands_.Answer(setup, data);
    if (o.handshake == Handshake::Ack) NotifyActivity();
    return o;
}

Handshake FastDevice::OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    if (endpoint != kBulkOut) return Handshake::Stall;
    if (enabled_ && far_ && !packet.empty()) {
        far_->Consume(packet);
        fromHost_ += packet.size();
    }
    return Handshake::Ack;
}

Outcome FastDevice::OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) {
    if (endpoint == kStatusIn) {
        if (room.empty()) return Outcome{Handshake::Ack, 0};
        room[0] = kLinesUp;
        return Outcome{Handshake::Ack, 1};
    }
    if (endpoint != kBulkIn) return Outcome{Handshake::Stall, 0};
    const std::size_t n = enabled_ && far_ ? far_->Produce(room) : 0;
    toHost_ += n;
    return n ? Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)} : Outcome{Handshake::Nak, 0};
}

}  // namespace tarvel::usb
