#include "usb/serial/serial_adapter.h"

namespace tarvel::usb {

namespace {
std::size_t DefaultFifo(const SerialAdapterOptions& o) { return o.speed == Speed::High ? 1024 : 256; }
std::uint16_t BulkPacketSize(const SerialAdapterOptions& o) { return o.speed == Speed::High ? 512 : 64; }
}

DeviceBlueprint SerialAdapter::MakeBlueprint(const SerialAdapterOptions& options) {
    const bool high = options.speed == Speed::High;
    const std::uint16_t bulk = BulkPacketSize(options);
    DeviceBlueprint blueprint;
    blueprint.vendorId = options.vendorId;
    blueprint.productId = options.productId;
    blueprint.speed = options.speed;
    blueprint.remoteWakeup = options.remoteWakeup;
    blueprint.manufacturer = "Tarvel";
    blueprint.product = "USB serial adapter";
    blueprint.serialNumber = "TV000001";
    InterfaceBlueprint data;
    data.number = 0;
    data.interfaceClass = 0xFF;
    data.endpoints = {
        {kBulkOut, EndpointType::Bulk, bulk, 0},
        {kBulkIn, EndpointType::Bulk, bulk, 0},
        {kStatusIn, EndpointType::Interrupt, 16, static_cast<std::uint8_t>(high ? 4 : 1)},  // every 1 ms
    };
    blueprint.interfaces.push_back(data);
    return blueprint;
}

SerialAdapter::SerialAdapter(const Clock& clock, SerialAdapterOptions options)
    : DeviceModel(MakeBlueprint(options), clock),
      uart_(clock, options.rxFifoSize ? options.rxFifoSize : DefaultFifo(options),
            options.txFifoSize ? options.txFifoSize : (options.rxFifoSize ? options.rxFifoSize : DefaultFifo(options))),
      bulkPacket_(BulkPacketSize(options)) {
    uart_.OnFarActivity([this] { NotifyActivity(); });
}

Outcome SerialAdapter::OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const Outcome o = commands_.Answer(setup, data);
    if (o.handshake == Handshake::Ack) NotifyActivity();
    return o;
}

Handshake SerialAdapter::OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    if (endpoint != kBulkOut) return Handshake::Stall;
    if (uart_.Enabled() && uart_.TxRoom() < packet.size()) return Handshake::Nak;
    uart_.Write(packet);
    return Handshake::Ack;
}

Outcome SerialAdapter::OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) {
    if (endpoint == kStatusIn) {
        if (room.empty()) return Outcome{Handshake::Ack, 0};
        room[0] = uart_.TakeStatusByte();
        return Outcome{Handshake::Ack, 1};
    }
    if (endpoint != kBulkIn) return Outcome{Handshake::Stall, 0};
    const std::size_t n = uart_.Read(room);
    if (n == 0) {
        // The host's transfer of several packets ends only at a short packet: data that stopped on a
        // full one would wait in it until the line brought more.
        if (!inEndedOnFullPacket_) return Outcome{Handshake::Nak, 0};
        inEndedOnFullPacket_ = false;
        return Outcome{Handshake::Ack, 0};
    }
    inEndedOnFullPacket_ = n == bulkPacket_;
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
}

void SerialAdapter::OnReset() {
    commands_.Reset();
    inEndedOnFullPacket_ = false;
}

}  // namespace tarvel::usb
