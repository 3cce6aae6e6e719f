#include "usb/model/device_model.h"

#include <algorithm>
#include <cstring>

namespace tarvel::usb {

DeviceModel::DeviceModel(DeviceSpec blueprint, const Clock& clock) : spec_(std::move(blueprint)), clock_(clock) {}

DeviceModel::~DeviceModel() = default;

std::vector<std::uint8_t> DeviceModel::DeviceDescriptor() const {
    return servedDevice_ ? *servedDevice_ : BuildDeviceDescriptor(spec_);
}

std::vector<std::uint8_t> DeviceModel::ConfigurationDescriptor() const {
    return servedConfiguration_ ? *servedConfiguration_ : BuildConfigurationDescriptor(spec_);
}

static Outcome Stall() { return Outcome{Handshake::Stall, 0}; }

static Outcome Reply(std::span<std::uint8_t> room, std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(room.size(), bytes.size());
    if (n) std::memcpy(room.data(), bytes.data(), n);
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
}

Outcome DeviceModel::Control(const SetupPacket& setup, std::span<std::uint8_t> data) {
    if (failControl_) {
        if (failControl_ != kAlways) --failControl_;
        return Stall();
    }
    if (setup.Type() == kRequestTypeStandard) return Standard(setup, data);
    if (setup.Type() == 3) return Stall();
    return OnClassOrVendor(setup, data);
}

Outcome DeviceModel::GetDescriptor(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const std::uint8_t type = setup.value >> 8, index = setup.value & 0xFF;
    switch (type) {
    case 1: return Reply(data, DeviceDescriptor());
    case 2: return index == 0 ? Reply(data, ConfigurationDescriptor()) : Stall();
    case 3: {
        const auto s = BuildStringDescriptor(spec_, index);
        return s.empty() ? Stall() : Reply(data, s);
    }
    default: return Stall();
    }
}

Outcome DeviceModel::Standard(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const std::uint8_t recipient = setup.Recipient();
    switch (setup.request) {
    case kStdGetDescriptor:
        return setup.DeviceToHost() ? GetDescriptor(setup, data) : Stall();
    case kStdSetAddress:
        return Outcome{};
    case kStdGetConfiguration: {
        const std::uint8_t v[1] = {configuration_};
        return Reply(data, v);
    }
    case kStdSetConfiguration: {
        const std::uint8_t value = setup.value & 0xFF;
        if (value != 0 && value != spec_.configurationValue) return Stall();
        configuration_ = value;
        alternates_.clear();
        halted_.clear();
        OnConfigured(value);
        return Outcome{};
    }
    case kStdGetInterface:
    case kStdSetInterface: {
        if (configuration_ == 0) return Stall();
        const std::uint8_t number = setup.index & 0xFF;
        if (setup.request == kStdGetInterface) {
            std::uint8_t current = 0;
            for (auto& [n, alt] : alternates_) if (n == number) current = alt;
            const std::uint8_t v[1] = {current};
            return Reply(data, v);
        }
        const std::uint8_t alt = setup.value & 0xFF;
        const bool exists = std::any_of(spec_.interfaces.begin(), spec_.interfaces.end(),
                                        [&](const InterfaceSpec& i) { return i.number == number && i.alternate == alt; });
        if (!exists) return Stall();
        std::erase_if(alternates_, [&](auto& p) { return p.first == number; });
        alternates_.emplace_back(number, alt);
        return Outcome{};
    }
    case kStdGetStatus: {
        std::uint8_t v[2] = {0, 0};
        if (recipient == 0) v[0] = static_cast<std::uint8_t>((spec_.selfPowered ? 1 : 0) | (remoteWakeEnabled_ ? 2 : 0));
        if (recipient == 2) v[0] = EndpointHalted(setup.index & 0xFF) ? 1 : 0;
        return Reply(data, v);
    }
    case kStdClearFeature:
    case kStdSetFeature: {
        const bool set = setup.request == kStdSetFeature;
        if (recipient == 0 && setup.value == kFeatureDeviceRemoteWakeup) {
            if (!spec_.remoteWakeup) return Stall();
            remoteWakeEnabled_ = set;
            return Outcome{};
        }
        if (recipient == 2 && setup.value == kFeatureEndpointHalt) {
            const std::uint8_t ep = setup.index & 0xFF;
            if ((ep & 0x7F) != 0 && !EndpointActive(ep)) return Stall();
            if (set) halted_.insert(ep);
            else halted_.erase(ep);
            NotifyActivity();
            return Outcome{};
        }
        return Stall();
    }
    default:
        return Stall();
    }
}

bool DeviceModel::EndpointActive(std::uint8_t endpoint) const {
    if (configuration_ == 0) return false;
    for (const auto& i : spec_.interfaces) {
        std::uint8_t current = 0;
        for (auto& [n, alt] : alternates_) if (n == i.number) current = alt;
        if (i.alternate != current) continue;
        for (const auto& e : i.endpoints)
            if (e.address == endpoint) return true;
    }
    return false;
}

Handshake DeviceModel::Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    if (!EndpointActive(endpoint) || halted_.count(endpoint)) return Handshake::Stall;
    if (nakForever_.count(endpoint)) return Handshake::Nak;
    return OnOut(endpoint, packet);
}

Outcome DeviceModel::In(std::uint8_t endpoint, std::span<std::uint8_t> room) {
    if (!EndpointActive(endpoint) || halted_.count(endpoint)) return Stall();
    if (nakForever_.count(endpoint)) return Outcome{Handshake::Nak, 0};
    return OnIn(endpoint, room);
}

std::optional<VirtualTime> DeviceModel::NextActivity() { return OnNextActivity(); }

void DeviceModel::BusReset() {
    configuration_ = 0;
    alternates_.clear();
    halted_.clear();
    remoteWakeEnabled_ = false;
    suspended_ = false;
    OnReset();
}

void DeviceModel::SetSuspended(bool suspended) {
    if (suspended_ == suspended) return;
    suspended_ = suspended;
    OnSuspend(suspended);
}

Outcome DeviceModel::OnClassOrVendor(const SetupPacket&, std::span<std::uint8_t>) { return Stall(); }
Handshake DeviceModel::OnOut(std::uint8_t, std::span<const std::uint8_t>) { return Handshake::Stall; }
Outcome DeviceModel::OnIn(std::uint8_t, std::span<std::uint8_t>) { return Stall(); }

void DeviceModel::NotifyActivity() {
    if (bus_) bus_->DeviceActivity();
}

void DeviceModel::StallEndpoint(std::uint8_t endpoint) {
    halted_.insert(endpoint);
    NotifyActivity();
}

void DeviceModel::NakForever(std::uint8_t endpoint, bool on) {
    if (on) nakForever_.insert(endpoint);
    else nakForever_.erase(endpoint);
    NotifyActivity();
}

void DeviceModel::FailControlTransfers(unsigned count) { failControl_ = count; }
void DeviceModel::ServeDeviceDescriptor(std::vector<std::uint8_t> bytes) { servedDevice_ = std::move(bytes); }
void DeviceModel::ServeConfigurationDescriptor(std::vector<std::uint8_t> bytes) { servedConfiguration_ = std::move(bytes); }

void DeviceModel::Unplug() {
    if (BusLink* link = bus_) {
        bus_ = nullptr;
        link->DeviceUnplugged();
    }
}

bool DeviceModel::SignalRemoteWake() {
    if (!suspended_ || !remoteWakeEnabled_ || !bus_) return false;
    return bus_->DeviceRemoteWake();
}

}  // namespace tarvel::usb
