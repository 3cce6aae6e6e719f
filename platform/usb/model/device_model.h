// The framework for USB device models. A model describes itself with a DeviceBlueprint, and the base class
// answers the standard control requests from it (descriptors, configuration, interface, features,
// status); a concrete model adds its class and vendor requests and what its endpoints do. Faults can be
// switched on for any model: stalled endpoints, endless NAK, failing control transfers, malformed
// descriptors, unplugging and remote wake-up; packets longer or shorter than the host asked for, and a
// device that drops off the bus between two packets; each of these on demand or at random from a seed.
//
// Models are passive: the host controller calls them once per packet (at the end of its bulk slot or
// of the (micro)frame), from the emulated machine's threads, one call at a time. A model that changes
// on its own (data arriving from the far side of a serial line) tells the bus with NotifyActivity or
// answers NextActivity, so that a waiting transfer is polled again without the bus ticking idle frames.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
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
constexpr std::uint8_t kAnyEndpoint = 0xFF;  // no endpoint has this address (bits 6..4 are reserved)

// The odds (0..1) of each random misbehaviour, rolled per packet while the random mode is on.
struct MisbehaviourOdds {
    double oversize = 0;     // an IN packet or IN data stage carries more bytes than the device had
    double shortPacket = 0;  // an IN packet or IN data stage is cut short
    double zeroLength = 0;   // a zero-length IN packet instead of the answer (data or NAK)
    double drop = 0;         // the device leaves the bus right after a packet it answered
};

class DeviceModel {
public:
    DeviceModel(DeviceBlueprint blueprint, const Clock& clock);
    virtual ~DeviceModel();
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    const DeviceBlueprint& Blueprint() const { return blueprint_; }
    Speed GetSpeed() const { return blueprint_.speed; }
    VirtualTime Now() const { return clock_.Now(); }

    // --- What the host controller calls ---
    // One control transfer. `data` is the data stage: the wLength bytes sent to the device, or the
    // controller's receive buffer for an IN data stage, which holds wLength bytes and may hold more. A
    // sound device sends at most wLength; one with a length fault may write on to the end of `data`
    // and claim more still (Outcome::length).
    Outcome Control(const SetupPacket& setup, std::span<std::uint8_t> data);
    // One OUT packet on a bulk, interrupt or isochronous endpoint.
    Handshake Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet);
    // One IN packet of at most `asked` bytes (the endpoint's packet size, less near the transfer's end)
    // into the controller's receive buffer `wire` (at least `asked` bytes). A device with a length fault
    // may write on to the end of `wire` and claim more still.
    Outcome In(std::uint8_t endpoint, std::span<std::uint8_t> wire, std::uint32_t asked);
    Outcome In(std::uint8_t endpoint, std::span<std::uint8_t> room) {
        return In(endpoint, room, static_cast<std::uint32_t>(room.size()));
    }
    // The next time at which a NAKing endpoint may have something, if the model knows one.
    std::optional<VirtualTime> NextActivity();
    void BusReset();  // port reset: address and configuration gone, halts cleared
    void SetSuspended(bool suspended);
    bool Suspended() const { return suspended_; }
    std::uint8_t Configuration() const { return configuration_; }
    bool RemoteWakeEnabled() const { return remoteWakeEnabled_; }
    bool EndpointHalted(std::uint8_t endpoint) const { return halted_.count(endpoint) != 0; }
    // The packet size the endpoint really has (its blueprint's), whatever the descriptors served say;
    // 0 for an endpoint the device does not have.
    std::uint16_t EndpointPacketSize(std::uint8_t endpoint) const;

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
    // Length faults for the next `count` answers with data on `endpoint` (0: IN data stages of control
    // transfers; kAnyEndpoint: any), each used up by the answer it changes (kAlways: until cleared):
    // `extra` bytes of junk after the data; or at most `limit` bytes (0: a zero-length packet), the
    // data not sent staying with the device.
    void OversizeIn(std::uint8_t endpoint, std::uint32_t extra, unsigned count = 1);
    void ShortIn(std::uint8_t endpoint, std::uint32_t limit, unsigned count = 1);
    void ClearLengthFaults();
    // After answering `packets` more packets (data, handshakes and control transfers; on `endpoint`
    // only, or any) the device answers nothing any more: it has left the bus, between two packets of
    // a transfer as likely as not. The bus does not know yet: as a hub, it learns of a disconnect
    // later, when someone unplugs the model. 0 switches the countdown off.
    void DisconnectAfter(unsigned packets, std::uint8_t endpoint = kAnyEndpoint);
    bool Detached() const { return detached_; }
    // Random misbehaviour from `seed`, the same packets misbehaving on every run with the same seed
    // and the same traffic; odds of all zero switch it off.
    void Misbehave(std::uint64_t seed, const MisbehaviourOdds& odds);
    std::uint64_t Misbehaviours() const { return misbehaviours_; }  // faults carried out so far

    void AttachBus(BusLink* link);  // a new connection also ends a detached device's silence
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
    // How one IN answer is to be changed.
    struct LengthFault {
        enum Kind { None, Oversize, Short, ZeroLength } kind = None;
        std::uint32_t bytes = 0;  // Oversize: extra bytes; Short: at most this many
        bool queued = false;      // from OversizeIn/ShortIn: used up once carried out
    };
    struct QueuedFault {
        std::uint8_t endpoint;
        LengthFault fault;
        unsigned count;
    };

    Outcome Standard(const SetupPacket& setup, std::span<std::uint8_t> data);
    Outcome GetDescriptor(const SetupPacket& setup, std::span<std::uint8_t> data);
    LengthFault NextLengthFault(std::uint8_t endpoint, std::uint32_t asked);
    // Carries out `fault` on an answer of `o.length` bytes at the start of `wire`.
    Outcome ApplyLengthFault(const LengthFault& fault, std::uint8_t endpoint, Outcome o, std::span<std::uint8_t> wire);
    void UseUp(std::uint8_t endpoint, const LengthFault& fault);
    bool Roll(double odds);
    void Answered(std::uint8_t endpoint);  // counts towards a disconnect

    DeviceBlueprint blueprint_;
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
    std::vector<QueuedFault> lengthFaults_;
    unsigned disconnectAfter_ = 0;
    std::uint8_t disconnectEndpoint_ = kAnyEndpoint;
    bool detached_ = false;
    MisbehaviourOdds odds_;
    bool misbehaving_ = false;
    std::mt19937_64 rng_;
    std::uint64_t misbehaviours_ = 0;
};

}  // namespace tarvel::usb
