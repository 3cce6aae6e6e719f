// The framework for USB device models. A model describes itself with a DeviceSpec, and the base class
// answers the standard control requests from it (descriptors, configuration, interface, features,
// status); a concrete model adds its class and vendor requests and what its endpoints do. Faults can be
// switched on for any model: stalled endpoints, endless NAK, failing control transfers, malformed
// descriptors, unplugging and remote wake-up.
//
// Models are passive: the host controller calls them once per packet at (micro)frame ends, from the
// emulated machine's threads, one call at a time. A model that changes on its own (data arriving from
// the far side of a serial line) tells the bus with NotifyActivity or answers NextActivity, so that a
// waiting transfer is polled again without the bus ticking idle frames.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "usb/model/device_blueprint.h"
#include "usb/model/usb_types.h"

namespace tarvel::usb {

// What a model may ask of the bus port it is plugged into.
class BusLink {
public:
    virtual ~BusLink() = default;
    virtual void DeviceActivity() = 0;    // state changed: poll waiting transfers again
    virtual void DeviceUnplugged() = 0;   // the cable was pulled
    virtual bool DeviceRemoteWake() = 0;  // resume signalling from a suspended device; true if taken
};

constexpr std::uint8_t kStdGetStatus = 0x00, kStdClearFeature = 0x01, kStdSetFeature = 0x03,
                       kStdSetAddress = 0x05, kStdGetDescriptor = 0x06, kStdGetConfiguration = 0x08,
                       kStdSetConfiguration = 0x09, kStdGetInterface = 0x0A, kStdSetInterface = 0x0B;
constexpr std::uint16_t kFeatureEndpointHalt = 0, kFeatureDeviceRemoteWakeup = 1;
constexpr unsigned kAlways = ~0u;

class DeviceModel {
public:
    DeviceModel(DeviceSpec blueprint, const Clock& clock);
    virtual ~DeviceModel();
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    const DeviceSpec& Blueprint() const { return spec_; }
    Speed GetSpeed() const { return spec_.speed; }
    VirtualTime Now() const { return clock_.Now(); }

    // --- What the host controller calls ---
    // One control transfer. `data` is the data stage: wLength bytes to send, or room for wLength bytes.
    Outcome Control(const SetupPacket& setup, std::span<std::uint8_t> data);
    // One OUT packet on a bulk, interrupt or isochronous endpoint.
    Handshake Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet);
    // One IN packet: the model writes at most room.size() bytes (the endpoint's packet size).
    Outcome In(std::uint8_t endpoint, std::span<std::uint8_t> room);
    // The next time at which a NAKing endpoint may have something, if the model knows one.
    std::optional<VirtualTime> NextActivity();
    void BusReset();  // port reset: address and configuration gone, halts cleared
    void SetSuspended(bool suspended);
    bool Suspended() const { return suspended_; }
    std::uint8_t Configuration() const { return configuration_; }
    bool RemoteWakeEnabled() const { return remoteWakeEnabled_; }
    bool EndpointHalted(std::uint8_t endpoint) const { return halted_.count(endpoint) != 0; }

    // The descriptors the device serves (the built ones unless a fault replaces them).
    std::vector<std::uint8_t> DeviceDescriptor() const;
    std::vector<std::uint8_t> ConfigurationDescriptor() const;

    // --- Faults on demand ---
    void StallEndpoint(std::uint8_t endpoint);        // STALL until the host clears the halt (pipe reset)
    void NakForever(std::uint8_t endpoint, bool on);  // NAK every packet while on
    void FailControlTransfers(unsigned count);        // the next `count` control transfers stall (kAlways)
    void ServeDeviceDescriptor(std::vector<std::uint8_t> bytes);
    void ServeConfigurationDescriptor(std::vector<std::uint8_t> bytes);
    void Unplug();             // surprise removal of the device from its port
    bool SignalRemoteWake();   // resume signalling; false unless suspended with remote wake-up enabled

    void AttachBus(BusLink* link) { bus_ = link; }
    bool Plugged() const { return bus_ != nullptr; }

protected:
    virtual Outcome OnClassOrVendor(const SetupPacket& setup, std::span<std::uint8_t> data);
    virtual Handshake OnOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet);
    virtual Outcome OnIn(std::uint8_t endpoint, std::span<std::uint8_t> room);
    virtual std::optional<VirtualTime> OnNextActivity() { return std::nullopt; }
    virtual void OnConfigured(std::uint8_t /*value*/) {}
    virtual void OnReset() {}
    virtual void OnSuspend(bool /*suspended*/) {}

    void NotifyActivity();
    bool EndpointActive(std::uint8_t endpoint) const;

private:
    Outcome Standard(const SetupPacket& setup, std::span<std::uint8_t> data);
    Outcome GetDescriptor(const SetupPacket& setup, std::span<std::uint8_t> data);

    DeviceSpec spec_;
    const Clock& clock_;
    BusLink* bus_ = nullptr;
    std::uint8_t configuration_ = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> alternates_;  // interface number, setting
    bool suspended_ = false;
    bool remoteWakeEnabled_ = false;
    std::set<std::uint8_t> halted_;
    std::set<std::uint8_t> nakForever_;
    unsigned failControl_ = 0;
    std::optional<std::vector<std::uint8_t>> servedDevice_, servedConfiguration_;
};

}  // namespace tarvel::usb
