#include "usb/model/device_model.h"

#include <algorithm>
#include <cstring>

namespace tarvel::usb {

DeviceModel::DeviceModel(DeviceBlueprint blueprint, const Clock& clock) : blueprint_(std::move(blueprint)), clock_(clock) {}

DeviceModel::~DeviceModel() = default;

std::vector<std::uint8_t> DeviceModel::DeviceDescriptor() const {
    return servedDevice_ ? *servedDevice_ : BuildDeviceDescriptor(blueprint_);
}

std::vector<std::uint8_t> DeviceModel::ConfigurationDescriptor() const {
    return servedConfiguration_ ? *servedConfiguration_ : BuildConfigurationDescriptor(blueprint_);
}

static Outcome Stall() { return Outcome{Handshake::Stall, 0}; }

static Outcome Reply(std::span<std::uint8_t> room, std::span<const std::uint8_t> bytes) {
    const std::size_t n = std::min(room.size(), bytes.size());
    if (n) std::memcpy(room.data(), bytes.data(), n);
    return Outcome{Handshake::Ack, static_cast<std::uint32_t>(n)};
}

// Junk a babbling device sends after its data: from `from` up to the claimed length, as far as the
// receive buffer reaches.
static void Junk(std::span<std::uint8_t> wire, std::uint32_t from, std::uint32_t claimed) {
    const std::size_t end = std::min<std::size_t>(claimed, wire.size());
    for (std::size_t i = from; i < end; ++i) wire[i] = static_cast<std::uint8_t>(0xB0 + (i & 0x0F));
}

Outcome DeviceModel::Control(const SetupPacket& setup, std::span<std::uint8_t> data) {
    if (detached_) return Outcome{Handshake::Timeout, 0};
    if (failControl_) {
        if (failControl_ != kAlways) --failControl_;
        return Stall();
    }
    const bool in = setup.DeviceToHost();
    // The request's handler sees wLength bytes at most; what the receive buffer holds beyond is for faults.
    const std::span<std::uint8_t> stage = in ? data.first(std::min<std::size_t>(data.size(), setup.length)) : data;
    Outcome o;
    if (setup.Type() == kRequestTypeStandard) o = Standard(setup, stage);
    else if (setup.Type() == 3) o = Stall();
    else o = OnClassOrVendor(setup, stage);
    if (o.handshake != Handshake::Ack) return o;
    o.length = std::min<std::uint32_t>(o.length, static_cast<std::uint32_t>(stage.size()));
    if (in && setup.length > 0) {
        const LengthFault fault = NextLengthFault(0, setup.length);
        bool changed = false;
        switch (fault.kind) {
        case LengthFault::None: break;
        case LengthFault::ZeroLength:
        case LengthFault::Short:
            changed = fault.bytes < o.length;
            o.length = std::min(o.length, fault.bytes);
            break;
        case LengthFault::Oversize:
            Junk(data, o.length, o.length + fault.bytes);
            o.length += fault.bytes;
            changed = true;
            break;
        }
        if (changed) UseUp(0, fault);
    }
    Answered(0);
    return o;
}

Outcome DeviceModel::GetDescriptor(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const std::uint8_t type = setup.value >> 8, index = setup.value & 0xFF;
    switch (type) {
    case 1: return Reply(data, DeviceDescriptor());
    case 2: return index == 0 ? Reply(data, ConfigurationDescriptor()) : Stall();
    case 3: {
        const auto s = BuildStringDescriptor(blueprint_, index);
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
        if (value != 0 && value != blueprint_.configurationValue) return Stall();
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
        const bool exists = std::any_of(blueprint_.interfaces.begin(), blueprint_.interfaces.end(),
                                        [&](const InterfaceBlueprint& i) { return i.number == number && i.alternate == alt; });
        if (!exists) return Stall();
        std::erase_if(alternates_, [&](auto& p) { return p.first == number; });
        alternates_.emplace_back(number, alt);
        return Outcome{};
    }
    case kStdGetStatus: {
        std::uint8_t v[2] = {0, 0};
        if (recipient == 0) v[0] = static_cast<std::uint8_t>((blueprint_.selfPowered ? 1 : 0) | (remoteWakeEnabled_ ? 2 : 0));
        if (recipient == 2) v[0] = EndpointHalted(setup.index & 0xFF) ? 1 : 0;
        return Reply(data, v);
    }
    case kStdClearFeature:
    case kStdSetFeature: {
        const bool set = setup.request == kStdSetFeature;
        if (recipient == 0 && setup.value == kFeatureDeviceRemoteWakeup) {
            if (!blueprint_.remoteWakeup) return Stall();
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
    for (const auto& i : blueprint_.interfaces) {
        std::uint8_t current = 0;
        for (auto& [n, alt] : alternates_) if (n == i.number) current = alt;
        if (i.alternate != current) continue;
        for (const auto& e : i.endpoints)
            if (e.address == endpoint) return true;
    }
    return false;
}

std::uint16_t DeviceModel::EndpointPacketSize(std::uint8_t endpoint) const {
    for (const auto& i : blueprint_.interfaces)
        for (const auto& e : i.endpoints)
            if (e.address == endpoint) return e.maxPacketSize;
    return 0;
}

Handshake DeviceModel::Out(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
    if (detached_) return Handshake::Timeout;
    if (!EndpointActive(endpoint) || halted_.count(endpoint)) return Handshake::Stall;
    if (nakForever_.count(endpoint)) return Handshake::Nak;
    const Handshake h = OnOut(endpoint, packet);
    if (h == Handshake::Ack) Answered(endpoint);
    return h;
}

Outcome DeviceModel::In(std::uint8_t endpoint, std::span<std::uint8_t> wire, std::uint32_t asked) {
    if (detached_) return Outcome{Handshake::Timeout, 0};
    if (!EndpointActive(endpoint) || halted_.count(endpoint)) return Stall();
    if (nakForever_.count(endpoint)) return Outcome{Handshake::Nak, 0};
    asked = std::min<std::uint32_t>(asked, static_cast<std::uint32_t>(wire.size()));
    const LengthFault fault = NextLengthFault(endpoint, asked);
    Outcome o{Handshake::Ack, 0};
    if (fault.kind == LengthFault::ZeroLength) {
        UseUp(endpoint, fault);  // answered at once: whatever the device holds stays there
    } else {
        // A short packet is one the device makes short: what it did not send, it still has.
        const std::uint32_t room = fault.kind == LengthFault::Short ? std::min(asked, fault.bytes) : asked;
        o = OnIn(endpoint, wire.first(room));
        if (o.handshake != Handshake::Ack) return o;
        o.length = std::min(o.length, room);
        if (fault.kind == LengthFault::Short && o.length == room && room < asked) UseUp(endpoint, fault);
        if (fault.kind == LengthFault::Oversize) {
            Junk(wire, o.length, o.length + fault.bytes);
            o.length += fault.bytes;
            UseUp(endpoint, fault);
        }
    }
    Answered(endpoint);
    return o;
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

void DeviceModel::AttachBus(BusLink* link) {
    bus_ = link;
    if (link) detached_ = false;
}

bool DeviceModel::SignalRemoteWake() {
    if (!suspended_ || !remoteWakeEnabled_ || !bus_ || detached_) return false;
    return bus_->DeviceRemoteWake();
}

// --- Length faults and disconnects ---

void DeviceModel::OversizeIn(std::uint8_t endpoint, std::uint32_t extra, unsigned count) {
    if (extra == 0 || count == 0) return;
    lengthFaults_.push_back({endpoint, LengthFault{LengthFault::Oversize, extra, true}, count});
}

void DeviceModel::ShortIn(std::uint8_t endpoint, std::uint32_t limit, unsigned count) {
    if (count == 0) return;
    const auto kind = limit == 0 ? LengthFault::ZeroLength : LengthFault::Short;
    lengthFaults_.push_back({endpoint, LengthFault{kind, limit, true}, count});
}

void DeviceModel::ClearLengthFaults() { lengthFaults_.clear(); }

void DeviceModel::DisconnectAfter(unsigned packets, std::uint8_t endpoint) {
    disconnectAfter_ = packets;
    disconnectEndpoint_ = endpoint;
}

void DeviceModel::Misbehave(std::uint64_t seed, const MisbehaviourOdds& odds) {
    odds_ = odds;
    misbehaving_ = odds.oversize > 0 || odds.shortPacket > 0 || odds.zeroLength > 0 || odds.drop > 0;
    rng_.seed(seed);
}

bool DeviceModel::Roll(double odds) { return std::uniform_real_distribution<double>(0, 1)(rng_) < odds; }

DeviceModel::LengthFault DeviceModel::NextLengthFault(std::uint8_t endpoint, std::uint32_t asked) {
    for (const QueuedFault& q : lengthFaults_)
        if (q.endpoint == endpoint || q.endpoint == kAnyEndpoint) return q.fault;
    if (!misbehaving_) return {};
    double r = std::uniform_real_distribution<double>(0, 1)(rng_);
    if (r < odds_.zeroLength) return {LengthFault::ZeroLength, 0, false};
    r -= odds_.zeroLength;
    if (r < odds_.shortPacket) {
        const auto limit = static_cast<std::uint32_t>(rng_() % std::max<std::uint32_t>(asked, 1));
        return {limit ? LengthFault::Short : LengthFault::ZeroLength, limit, false};
    }
    r -= odds_.shortPacket;
    // Up to a packet and a half more than asked: a little past the buffer's end (overrun) as well as
    // past the packet size (babble).
    if (r < odds_.oversize) return {LengthFault::Oversize, 1 + static_cast<std::uint32_t>(rng_() % 96), false};
    return {};
}

void DeviceModel::UseUp(std::uint8_t endpoint, const LengthFault& fault) {
    ++misbehaviours_;
    if (!fault.queued) return;
    auto it = std::find_if(lengthFaults_.begin(), lengthFaults_.end(),
                           [&](const QueuedFault& q) { return q.endpoint == endpoint || q.endpoint == kAnyEndpoint; });
    if (it == lengthFaults_.end() || it->count == kAlways) return;
    if (--it->count == 0) lengthFaults_.erase(it);
}

void DeviceModel::Answered(std::uint8_t endpoint) {
    if (disconnectAfter_ && (disconnectEndpoint_ == kAnyEndpoint || disconnectEndpoint_ == endpoint)) {
        if (--disconnectAfter_ == 0) {
            detached_ = true;
            ++misbehaviours_;
        }
        return;
    }
    if (misbehaving_ && odds_.drop > 0 && Roll(odds_.drop)) {
        detached_ = true;
        ++misbehaviours_;
    }
}

}  // namespace tarvel::usb
