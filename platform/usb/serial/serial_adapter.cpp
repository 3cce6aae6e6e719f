#include "usb/serial/serial_adapter.h"

namespace tarvel::usb {

namespace {
std::size_t DefaultFifo(const SerialAdapterOptions& o) { return o.speed == Speed::High ? 1024 : 256; }
}

DeviceBlueprint SerialAdapter::MakeBlueprint(const SerialAdapterOptions& options) {
    const bool high = options.speed == Speed::High;
    const std::uint16_t bulk = high ? 512 : 64;
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
            options.txFifoSize ? options.txFifoSize : (options.rxFifoSize ? options.rxFifoSize : DefaultFifo(options))) {
    uart_.OnFarActivity([this] { NotifyActivity(); });
}

Outcome SerialAdapter::OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) {
    if (setup.requestType != 0x40 || setup.request != kVendorRequest || !Execute(data)) {
        ++rejected_;
        return Outcome{Handshake::Stall, 0};
    }
    accepted_.emplace_back(data.begin(), data.end());
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(data.size())};
}

bool SerialAdapter::Execute(std::span<const std::uint8_t> p) {
    if (p.empty()) return false;
    switch (p[0]) {
    case kLineSettings:
        if (p.size() == 2) return LineSettingsTwoByte(p[1]);
        if (p.size() == 3) return LineSettingsThreeByte(p[1], p[2]);
        return false;
    case kModemControl:
        if (p.size() != 2 || (p[1] & ~0x07)) return false;
        modemControl_ = p[1];
        uart_.SetModemControl(p[1] & 1, p[1] & 2, p[1] & 4);
        break;
    case kFlowChars: {
        if (p.size() != 3) return false;
        LineSettings s = uart_.Settings();
        s.xonChar = p[1];
        s.xoffChar = p[2];
        uart_.Configure(s);
        break;
    }
    case kPortEnable:
        if (p.size() != 2 || p[1] > 1) return false;
        uart_.SetEnabled(p[1] == 1);
        break;
    case kErrorChar:
        if (p.size() != 3 || p[1] > 1) return false;
        errorReplace_ = p[1] == 1;
        errorChar_ = p[2];
        uart_.SetErrorReplacement(errorReplace_, errorChar_);
        break;
    default:
        return false;
    }
    NotifyActivity();
    return true;
}

bool SerialAdapter::LineSettingsTwoByte(std::uint8_t b) {
    static constexpr std::uint32_t kRates[4] = {9600, 19200, 38400, 115200};
    if ((b & 0x30) == 0x30) return false;
    LineSettings s = uart_.Settings();
    s.baud = kRates[b & 3];
    s.dataBits = (b & 0x04) ? 8 : 7;
    s.stopBits = (b & 0x08) ? 2 : 1;
    s.parity = (b & 0x10) ? Parity::Even : (b & 0x20) ? Parity::Odd : Parity::None;
    s.rtsCts = (b & 0x40) != 0;
    s.xonXoff = (b & 0x80) != 0;
    uart_.Configure(s);
    NotifyActivity();
    return true;
}

bool SerialAdapter::LineSettingsThreeByte(std::uint8_t index, std::uint8_t flags) {
    static constexpr std::uint32_t kRates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
    if (index > 8 || (flags & 0xC0) || (flags & 0x0C) == 0x0C) return false;
    LineSettings s = uart_.Settings();
    s.baud = kRates[index];
    s.dataBits = (flags & 0x01) ? 8 : 7;
    s.stopBits = (flags & 0x02) ? 2 : 1;
    s.parity = (flags & 0x04) ? Parity::Even : (flags & 0x08) ? Parity::Odd : Parity::None;
    s.rtsCts = (flags & 0x10) != 0;
    s.xonXoff = (flags & 0x20) != 0;
    uart_.Configure(s);
    NotifyActivity();
    return true;
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
    return n ? Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)} : Outcome{Handshake::Nak, 0};
}

void SerialAdapter::OnReset() {
    uart_.SetEnabled(false);
    uart_.Configure(LineSettings{});
    uart_.SetModemControl(false, false, false);
    modemControl_ = 0;
    errorReplace_ = false;
    errorChar_ = 0;
    uart_.SetErrorReplacement(false, 0);
}

}  // namespace tarvel::usb
