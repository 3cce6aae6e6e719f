// A device that keeps up with the bus: the adapter's interface (bulk OUT 0x01, bulk IN 0x81,
// interrupt IN 0x82 with the status byte) and its vendor commands, but no UART in the way. Its bulk
// OUT endpoint takes every packet offered and its bulk IN endpoint has a full packet ready whenever
// the far side has data, as a microcontroller's bulk endpoints or a fast bridge do; the far side
// produces and consumes at whatever rate it is asked. The far side's lines are always up (status
// byte CTS, DSR and DCD). While the port is off (vendor command 3), bulk IN NAKs and what the host
// sends is dropped, as on the adapter.
#pragma once

#include <cstdint>
#include <span>

#include "usb/model/device_model.h"
#include "usb/serial/serial_adapter.h"
#include "usb/serial/vendor_commands.h"

namespace tarvel::usb {

// What is behind the fast device.
class FastFarSide {
public:
    virtual ~FastFarSide() = default;
    // Fills up to `out.size()` bytes for the host; returns how many (0: nothing now, bulk IN NAKs; the
    // far side calls FastDevice::FarActivity once it has data again).
    virtual std::size_t Produce(std::span<std::uint8_t> out) = 0;
    // Bytes the host sent, in order.
    virtual void Consume(std::span<const std::uint8_t> bytes) = 0;
};

class FastDevice : public DeviceModel, private SerialFunction {
public:
    static constexpr std::uint8_t kBulkOut = SerialAdapter::kBulkOut, kBulkIn = SerialAdapter::kBulkIn,
                                  kStatusIn = SerialAdapter::kStatusIn;
    static constexpr std::uint8_t kLinesUp = 0x07;  // CTS, DSR, DCD

    // The adapter's blueprint (its speed, remote wake-up and identity) under a product name of its own.
    FastDevice(const Clock& clock, SerialAdapterOptions options = {});

    void Connect(FastFarSide* far) { far_ = far; }
    // The far side has data again: a waiting bulk-IN transfer is polled at once.
    void FarActivity() { NotifyActivity(); }

    const VendorCommands& Commands() const { return commands_; }
    const LineSettings& Settings() const override { return settings_; }
    bool Enabled() const { return enabled_; }
    std::uint64_t BytesFromHost() const { return fromHost_; }
    std::uint64_t BytesToHost() const { return toHost_; }

protected:
    Outcome OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data) override;
    Handshake OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
    Outcome OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room) override;
    void OnReset() override { commands_.Reset(); }

private:
    // What the vendor commands set: kept, for the host to read back through the model; no line runs.
    void Configure(const LineSettings& settings) override { settings_ = settings; }
    void SetModemControl(bool, bool, bool) override {}
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    void SetErrorReplacement(bool, std::uint8_t) override {}

    FastFarSide* far_ = nullptr;
    LineSettings settings_;
    bool enabled_ = false;
    VendorCommands commands_{*this};
    std::uint64_t fromHost_ = 0, toHost_ = 0;
};

}  // namespace tarvel::usb
