// The USB-serial adapter: one vendor-class interface with, in this order, bulk OUT 0x01 (data to the
// line), bulk IN 0x81 (data from the line, NAK while the receive FIFO is empty; data that ended on a
// full packet is closed by one zero-length packet when the FIFO runs dry) and interrupt IN 0x82
// (one status byte per poll, see Uart::TakeStatusByte). It is configured by the vendor commands of
// vendor_commands.h.
#pragma once

#include <cstdint>
#include <vector>

#include "usb/model/device_model.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/uart.h"
#include "usb/serial/vendor_commands.h"

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
    static constexpr std::uint8_t kVendorRequest = VendorCommands::kRequest;
    static constexpr std::uint8_t kLineSettings = VendorCommands::kLineSettings,
                                  kModemControl = VendorCommands::kModemControl,
                                  kFlowChars = VendorCommands::kFlowChars, kPortEnable = VendorCommands::kPortEnable,
                                  kErrorChar = VendorCommands::kErrorChar;

    SerialAdapter(const Clock& clock, SerialAdapterOptions options = {});

    Uart& Line() { return uart_; }
    void Connect(FarSide* far) { uart_.Connect(far); }
    // Payloads of the vendor commands the adapter accepted, in order.
    const std::vector<std::vector<std::uint8_t>>& AcceptedCommands() const { return commands_.Accepted(); }
    unsigned RejectedCommands() const { return commands_.Rejected(); }
    bool ErrorReplacement() const { return commands_.ErrorReplacement(); }
    std::uint8_t ErrorChar() const { return commands_.ErrorChar(); }
    // The modem-control byte last set (bit 0 RTS, bit 1 DTR, bit 2 break).
    std::uint8_t ModemControl() const { return commands_.ModemControl(); }

    static DeviceBlueprint MakeBlueprint(const SerialAdapterOptions& options);

protected:
    Outcome OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) override;
    Handshake OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
    Outcome OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) override;
    std::optional<VirtualTime> OnNextActivity() override { return uart_.NextEvent(); }
    void OnReset() override;

private:
    Uart uart_;
    VendorCommands commands_{uart_};
    std::size_t bulkPacket_;           // the bulk endpoints' maximum packet size
    bool inEndedOnFullPacket_ = false; // the last bulk-in packet was full: a zero-length one closes it

};

}  // namespace tarvel::usb
