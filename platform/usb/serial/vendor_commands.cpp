#include "usb/serial/vendor_commands.h"

namespace tarvel::usb {

Outcome VendorCommands::Answer(const SetupPacket& setup, std::span<const std::uint8_t> payload) {
    if (setup.requestType != 0x40 || setup.request != kRequest || !Execute(payload)) {
        ++rejected_;
        return Outcome{Handshake::Stall, 0};
    }
    accepted_.emplace_back(payload.begin(), payload.end());
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(payload.size())};
}

bool VendorCommands::Execute(std::span<const std::uint8_t> p) {
    if (p.empty()) return false;
    switch (p[0]) {
    case kLineSettings:
        if (p.size() == 2) return LineSettingsTwoByte(p[1]);
        if (p.size() == 3) return LineSettingsThreeByte(p[1], p[2]);
        return false;
    case kModemControl:
        if (p.size() != 2 || (p[1] & ~0x07)) return false;
        modemControl_ = p[1];
        function_.SetModemControl(p[1] & 1, p[1] & 2, p[1] & 4);
        return true;
    case kFlowChars: {
        if (p.size() != 3) return false;
        LineSettings s = function_.Settings();
        s.xonChar = p[1];
        s.xoffChar = p[2];
        function_.Configure(s);
        return true;
    }
    case kPortEnable:
        if (p.size() != 2 || p[1] > 1) return false;
        function_.SetEnabled(p[1] == 1);
        return true;
    case kErrorChar:
        if (p.size() != 3 || p[1] > 1) return false;
        errorReplace_ = p[1] == 1;
        errorChar_ = p[2];
        function_.SetErrorReplacement(errorReplace_, errorChar_);
        return true;
    default:
        return false;
    }
}

bool VendorCommands::LineSettingsTwoByte(std::uint8_t b) {
    static constexpr std::uint32_t kRates[4] = {9600, 19200, 38400, 115200};
    if ((b & 0x30) == 0x30) return false;
    LineSettings s = function_.Settings();
    s.baud = kRates[b & 3];
    s.dataBits = (b & 0x04) ? 8 : 7;
    s.stopBits = (b & 0x08) ? 2 : 1;
    s.parity = (b & 0x10) ? Parity::Even : (b & 0x20) ? Parity::Odd : Parity::None;
    s.rtsCts = (b & 0x40) != 0;
    s.xonXoff = (b & 0x80) != 0;
    function_.Configure(s);
    return true;
}

bool VendorCommands::LineSettingsThreeByte(std::uint8_t index, std::uint8_t flags) {
    static constexpr std::uint32_t kRates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
    if (index > 8 || (flags & 0xC0) || (flags & 0x0C) == 0x0C) return false;
    LineSettings s = function_.Settings();
    s.baud = kRates[index];
    s.dataBits = (flags & 0x01) ? 8 : 7;
    s.stopBits = (flags & 0x02) ? 2 : 1;
    s.parity = (flags & 0x04) ? Parity::Even : (flags & 0x08) ? Parity::Odd : Parity::None;
    s.rtsCts = (flags & 0x10) != 0;
    s.xonXoff = (flags & 0x20) != 0;
    function_.Configure(s);
    return true;
}

void VendorCommands::Reset() {
    function_.SetEnabled(false);
    function_.Configure(LineSettings{});
    function_.SetModemControl(false, false, false);
    modemControl_ = 0;
    errorReplace_ = false;
    errorChar_ = 0;
    function_.SetErrorReplacement(false, 0);
}

}  // namespace tarvel::usb
