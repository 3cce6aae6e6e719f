// The USB-serial adapter: one vendor-class interface with, in this order, bulk OUT 0x01 (data to the
// line), bulk IN 0x81 (data from the line, NAK while the receive FIFO is empty) and interrupt IN 0x82
// (one status byte per poll, see Uart::TakeStatusByte). It is configured by vendor control transfers
// (host-to-device, vendor, device: bmRequestType 0x40, bRequest 0x0B, wValue 0, wIndex 0) whose payload
// starts with a command code:
//   0 line settings, 2-byte form: settings byte = rate (bits 1..0: 9600, 19200, 38400, 115200),
//     0x04 eight data bits (else seven), 0x08 two stop bits, 0x10 even parity, 0x20 odd parity,
//     0x40 RTS/CTS flow control, 0x80 XON/XOFF flow control;
//   0 line settings, 3-byte form: rate index (0..8: 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800,
//     115200), flags 0x01 eight data bits, 0x02 two stop bits, 0x04 even, 0x08 odd, 0x10 RTS/CTS,
//     0x20 XON/XOFF;
//   1 modem control: bit 0 RTS, bit 1 DTR, bit 2 break;
//   2 flow characters: XON, XOFF;
//   3 port enable: 1 on, 0 off (off empties the FIFOs; the port starts off);
//   4 error character: replacement on (1) or off (0), the character.
// Anything else (unknown code, wrong length, undefined bits, a rate index above 8, both parities)
// is answered with STALL and changes nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "usb/model/device_model.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/uart.h"

namespace tarvel::usb {

struct SerialAdapterOptions {
    Speed speed = Speed::Full;
    bool remoteWakeup = false;
    std::size_t rxFifoSize = 0;  // 0: 256 bytes at full speed, 1024 at high speed
    std::size_t txFifoSize = 0;  // 0: as the receive FIFO
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0001;
};

class SerialAdapter : public DeviceModel {
public:
    static constexpr std::uint8_t kBulkOut = 0x01, kBulkIn = 0x81, kStatusIn = 0x82;
    static constexpr std::uint8_t kVendorRequest = 0x0B;
    static constexpr std::uint8_t kLineSettings = 0, kModemControl = 1, kFlowChars = 2, kPortEnable = 3,
                                  kErrorChar = 4;

    SerialAdapter(const Clock& clock, SerialAdapterOptions options = {});

    Uart& Line() { return uart_; }
    void Connect(FarSide* far) { uart_.Connect(far); }
    // Payloads of the vendor commands the adapter accepted, in order.
    const std::vector<std::vector<std::uint8_t>>& AcceptedCommands() const { return accepted_; }
    unsigned RejectedCommands() const { return rejected_; }
    bool ErrorReplacement() const { return errorReplace_; }
    std::uint8_t ErrorChar() const { return errorChar_; }
    // The modem-control byte last set (bit 0 RTS, bit 1 DTR, bit 2 break).
    std::uint8_t ModemControl() const { return modemControl_; }

    static DeviceBlueprint MakeBlueprint(const SerialAdapterOptions& options);

protected:
    Outcome OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) override;
    Handshake OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
    Outcome OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) override;
    std::optional<VirtualTime> OnNextActivity() override { return uart_.NextEvent(); }
    void OnReset() override;

private:
    bool Execute(std::span<const std::uint8_t> payload);
    bool LineSettingsTwoByte(std::uint8_t settings);
    bool LineSettingsThreeByte(std::uint8_t rateIndex, std::uint8_t flags);

    Uart uart_;
    std::vector<std::vector<std::uint8_t>> accepted_;
    unsigned rejected_ = 0;
    std::uint8_t modemControl_ = 0;
    bool errorReplace_ = false;
    std::uint8_t errorChar_ = 0;
};

}  // namespace tarvel::usb
