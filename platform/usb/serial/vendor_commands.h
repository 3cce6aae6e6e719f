// The vendor commands of the adapter's protocol (host-to-device, vendor, device: bmRequestType 0x40,
// bRequest 0x0B, wValue 0, wIndex 0), decoded once for every device that speaks it. The payload
// starts with a command code:
//   0 line settings, 2-byte form: settings byte = rate (bits 1..0: 9600, 19200, 38400, 115200),
//     0x04 eight data bits (else seven), 0x08 two stop bits, 0x10 even parity, 0x20 odd parity,
//     0x40 RTS/CTS flow control, 0x80 XON/XOFF flow control;
//   0 line settings, 3-byte form: rate index (0..8: 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800,
//     115200), flags 0x01 eight data bits, 0x02 two stop bits, 0x04 even, 0x08 odd, 0x10 RTS/CTS,
//     0x20 XON/XOFF;
//   1 modem control: bit 0 RTS, bit 1 DTR, bit 2 break;
//   2 flow characters: XON, XOFF;
//   3 port enable: 1 on, 0 off (the port starts off);
//   4 error character: replacement on (1) or off (0), the character.
// Anything else (another request, unknown code, wrong length, undefined bits, a rate index above 8,
// both parities) is answered with STALL and changes nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "usb/model/usb_types.h"
#include "usb/serial/line_settings.h"

namespace tarvel::usb {

// What the commands set: the serial function behind the device's endpoints (a UART, or a far side
// that needs no line at all).
class SerialFunction {
public:
    virtual ~SerialFunction() = default;
    virtual const LineSettings& Settings() const = 0;
    virtual void Configure(const LineSettings& settings) = 0;
    virtual void SetModemControl(bool rts, bool dtr, bool breakOn) = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual void SetErrorReplacement(bool on, std::uint8_t errorChar) = 0;
};

class VendorCommands {
public:
    static constexpr std::uint8_t kRequest = 0x0B;
    static constexpr std::uint8_t kLineSettings = 0, kModemControl = 1, kFlowChars = 2, kPortEnable = 3,
                                  kErrorChar = 4;

    explicit VendorCommands(SerialFunction& function) : function_(function) {}

    // A class or vendor control transfer: Ack once the command is carried out, else Stall.
    Outcome Answer(const SetupPacket& setup, std::span<const std::uint8_t> payload);
    // A bus reset: the port off, default line settings, modem lines and error replacement off.
    void Reset();

    // Payloads of the commands accepted, in order.
    const std::vector<std::vector<std::uint8_t>>& Accepted() const { return accepted_; }
    unsigned Rejected() const { return rejected_; }
    bool ErrorReplacement() const { return errorReplace_; }
    std::uint8_t ErrorChar() const { return errorChar_; }
    std::uint8_t ModemControl() const { return modemControl_; }  // bit 0 RTS, bit 1 DTR, bit 2 break

private:
    bool Execute(std::span<const std::uint8_t> payload);
    bool LineSettingsTwoByte(std::uint8_t settings);
    bool LineSettingsThreeByte(std::uint8_t rateIndex, std::uint8_t flags);

    SerialFunction& function_;
    std::vector<std::vector<std::uint8_t>> accepted_;
    unsigned rejected_ = 0;
    std::uint8_t modemControl_ = 0;
    bool errorReplace_ = false;
    std::uint8_t errorChar_ = 0;
};

}  // namespace tarvel::usb
