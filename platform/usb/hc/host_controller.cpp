#include "usb/hc/host_controller.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace tarvel::usb {

namespace {
constexpr VirtualTime kFullSpeedFrame = 10'000;  // 1 ms
constexpr VirtualTime kHighSpeedFrame = 1'250;   // 125 us

// An isochronous packet's status from the device's answer (no handshake on the wire: a NAK or nothing
// moves no data but is no error).
std::int32_t HandshakeStatus(Handshake h) {
    if (h == Handshake::Stall) return usbd::kStallPid;
    if (h == Handshake::Timeout) return usbd::kDevNotResponding;
    return usbd::kSuccess;
}

std::uint32_t PowerOfTwoInterval(std::uint8_t exponent) {
    const unsigned e = std::clamp<unsigned>(exponent, 1, 16);
    return 1u << (e - 1);
}
}  // namespace

HostController::HostController(DeviceModel& device, const Clock& clock)
    : device_(device), clock_(clock) {
    const bool high = device.GetSpeed() == Speed::High;
    frame_ = high ? kHighSpeedFrame : kFullSpeedFrame;
    bulkBudget_ = high ? 13 : 19;
    framesPerMs_ = high ? 8 : 1;
    control_.endpoint = EndpointBlueprint{0, EndpointType::Control, device.Blueprint().maxPacketSize0, 0};
}

std::uint32_t HostController::CurrentFrameNumber() const {
    return static_cast<std::uint32_t>(clock_.Now() / kFullSpeedFrame);
}

HostController::Pipe* HostController::AddPipe(const EndpointBlueprint& endpoint) {
    auto pipe = std::make_unique<Pipe>();
    pipe->endpoint = endpoint;
    const bool high = device_.GetSpeed() == Speed::High;
    if (endpoint.type == EndpointType::Interrupt)
        pipe->intervalFrames = high ? PowerOfTwoInterval(endpoint.interval) : std::max<std::uint32_t>(1, endpoint.interval);
    else if (endpoint.type == EndpointType::Isochronous)
        pipe->intervalFrames = PowerOfTwoInterval(endpoint.interval);
    pipes_.push_back(std::move(pipe));
    return pipes_.back().get();
}

void HostController::RemovePipes() { pipes_.clear(); }

bool HostController::Owns(const Pipe* pipe) const {
    if (pipe == &control_) return true;
    return std::any_of(pipes_.begin(), pipes_.end(), [&](const auto& p) { return p.get() == pipe; });
}

std::int32_t HostController::Submit(Pipe* pipe, Transfer* t) {
    const VirtualTime now = clock_.Now();
    t->eligibleFrame = static_cast<std::uint64_t>((now + frame_ - 1) / frame_);
    t->eligibleSlot = SlotAtOrAfter(now);
    t->actual = 0;
    t->status = usbd::kPending;
    if (pipe->halted && pipe != &control_) return usbd::kEndpointHalted;
    if (t->type == EndpointType::Isochronous) {
        if (t->packets.empty()) return usbd::kInvalidParameter;
        t->isoNext = 0;
        t->isoErrors = 0;
        std::uint64_t first = t->eligibleFrame;
        if (t->isoAsap) {
            if (!pipe->queue.empty()) {  // right behind the transfer queued before it
                const Transfer* last = pipe->queue.back();
                first = std::max(first, last->isoFirstFrame + last->packets.size() * pipe->intervalFrames);
            }
        } else {
            const std::uint32_t current = CurrentFrameNumber();
            first = std::uint64_t{t->isoStartFrame} * framesPerMs_;
            if (first < t->eligibleFrame || t->isoStartFrame > current + 1024) return usbd::kBadStartFrame;
        }
        t->isoFirstFrame = first;
    }
    pipe->queue.push_back(t);
    pipe->waiting = false;
    return usbd::kPending;
}

std::vector<Transfer*> HostController::Drain(Pipe* pipe, std::int32_t status) {
    std::vector<Transfer*> drained(pipe->queue.begin(), pipe->queue.end());
    pipe->queue.clear();
    for (Transfer* t : drained) t->status = status;
    return drained;
}

std::vector<Transfer*> HostController::DrainAll(std::int32_t status) {
    std::vector<Transfer*> drained = Drain(&control_, status);
    for (auto& p : pipes_) {
        auto more = Drain(p.get(), status);
        drained.insert(drained.end(), more.begin(), more.end());
    }
    return drained;
}

bool HostController::Remove(Transfer* t) {
    auto take = [&](Pipe& p) {
        auto it = std::find(p.queue.begin(), p.queue.end(), t);
        if (it == p.queue.end()) return false;
        p.queue.erase(it);
        return true;
    };
    if (take(control_)) return true;
    return std::any_of(pipes_.begin(), pipes_.end(), [&](auto& p) { return take(*p); });
}

void HostController::ClearHalt(Pipe* pipe) {
    pipe->halted = false;
    pipe->waiting = false;
}

void HostController::Activity() {
    control_.waiting = false;
    for (auto& p : pipes_) p->waiting = false;
}

void HostController::Finish(Pipe& pipe, std::int32_t status, std::vector<Transfer*>& done) {
    Transfer* t = pipe.queue.front();
    pipe.queue.pop_front();
    t->status = status;
    done.push_back(t);
}

// An error that halts the pipe on the host side (STALL, babble, overrun, no answer): the transfer fails
// with `status` and what waits behind it fails with it. The default pipe does not halt: its next setup
// packet starts afresh.
void HostController::Fail(Pipe& pipe, std::int32_t status, std::vector<Transfer*>& done) {
    Finish(pipe, status, done);
    if (&pipe == &control_) return;
    pipe.halted = true;
    for (Transfer* rest : Drain(&pipe, usbd::kEndpointHalted)) done.push_back(rest);
}

void HostController::Nak(Pipe& pipe) {
    pipe.waiting = true;
    pipe.changeAt = device_.NextActivity();
}

std::optional<VirtualTime> HostController::ChangeAt(const Pipe& pipe) {
    const std::optional<VirtualTime> now = device_.NextActivity();
    if (!pipe.changeAt) return now;
    if (!now) return pipe.changeAt;
    return std::min(*pipe.changeAt, *now);
}

std::span<std::uint8_t> HostController::Wire(std::uint32_t expected) {
    scratch_.assign(std::size_t{expected} + kWireSlack, 0);
    return scratch_;
}

std::uint32_t HostController::Land(Transfer* t, std::uint32_t offset, std::uint32_t claimed, std::uint32_t asked) {
    const std::uint32_t n = std::min({claimed, asked, static_cast<std::uint32_t>(scratch_.size())});
    if (n) std::memcpy(t->buffer + offset, scratch_.data(), n);
    return n;
}

// Bytes beyond what the host asked for: babble if the packet outgrew the endpoint's packet size, else
// an overrun of the transfer's buffer.
static std::int32_t OverflowStatus(std::uint32_t packetBytes, std::uint32_t maxPacket) {
    return packetBytes > maxPacket ? usbd::kBabbleDetected : usbd::kDataOverrun;
}

// One IN packet as the device sends it: what it has, up to its own packet size (the one its descriptor
// gave unless it lied), however little room the transfer has left; the host cannot ask for less. The
// device writes into the controller's receive buffer, never into the transfer's: only what fits `room`
// lands at `offset`, and a packet that did not fit ends the transfer.
HostController::InPacket HostController::TakeIn(const Pipe& pipe, Transfer* t, std::uint32_t offset, std::uint32_t room) {
    const std::uint32_t mps = pipe.endpoint.maxPacketSize;
    const std::uint32_t devicePacket = device_.EndpointPacketSize(pipe.endpoint.address);
    const std::uint32_t sends = devicePacket ? devicePacket : mps;
    InPacket p;
    p.answer = device_.In(pipe.endpoint.address, Wire(std::max(mps, sends)), sends);
    if (p.answer.handshake != Handshake::Ack) return p;
    p.landed = Land(t, offset, p.answer.length, room);
    if (p.answer.length > room) p.overflow = OverflowStatus(p.answer.length, mps);
    return p;
}

// One packet try on a bulk or interrupt pipe. Returns whether the pipe may try again in this frame.
bool HostController::Packet(Pipe& pipe, Transfer* t, std::vector<Transfer*>& done) {
    const std::uint32_t mps = pipe.endpoint.maxPacketSize;
    if (mps == 0) {  // an endpoint that can carry nothing never answers sensibly
        Finish(pipe, usbd::kDevNotResponding, done);
        return false;
    }
    const std::uint8_t ep = pipe.endpoint.address;
    Handshake h;
    if (t->in) {
        if (t->length == 0) {
            Finish(pipe, usbd::kSuccess, done);
            return true;
        }
        const InPacket p = TakeIn(pipe, t, t->actual, std::min(mps, t->length - t->actual));
        h = p.answer.handshake;
        if (h == Handshake::Ack) {
            t->actual += p.landed;
            pipe.waiting = false;
            if (p.overflow != usbd::kSuccess) {
                Fail(pipe, p.overflow, done);
                return false;
            }
            if (t->actual == t->length) Finish(pipe, usbd::kSuccess, done);
            else if (p.answer.length < mps) Finish(pipe, t->shortOk ? usbd::kSuccess : usbd::kDataUnderrun, done);
            return true;
        }
    } else {
        const std::uint32_t n = std::min(mps, t->length - t->actual);
        h = device_.Out(ep, std::span<const std::uint8_t>(t->buffer + t->actual, n));
        if (h == Handshake::Ack) {
            t->actual += n;
            pipe.waiting = false;
            if (t->actual == t->length) Finish(pipe, usbd::kSuccess, done);
            return true;
        }
    }
    if (h == Handshake::Nak) {
        Nak(pipe);
        return false;
    }
    Fail(pipe, h == Handshake::Stall ? usbd::kStallPid : usbd::kDevNotResponding, done);
    return false;
}

void HostController::RunControl(std::uint64_t frame, std::vector<Transfer*>& done) {
    if (control_.queue.empty() || !Eligible(control_.queue.front(), frame)) return;
    Transfer* t = control_.queue.front();
    const std::uint32_t mps0 = std::max<std::uint32_t>(control_.endpoint.maxPacketSize, 8);
    std::span<std::uint8_t> wire = Wire(t->length + mps0);
    if (!t->in) {
        if (t->length) std::memcpy(wire.data(), t->buffer, t->length);
        wire = wire.first(t->length);
    }
    const Outcome o = device_.Control(t->setup, wire);
    switch (o.handshake) {
    case Handshake::Ack: {
        if (!t->in) {
            t->actual = t->length;
            Finish(control_, usbd::kSuccess, done);
            break;
        }
        t->actual = Land(t, 0, o.length, t->length);
        if (o.length <= t->length) {
            Finish(control_, usbd::kSuccess, done);
            break;
        }
        // The data stage ran past wLength in the packet that crossed it.
        const std::uint32_t lastStart = t->length == 0 ? 0 : (t->length - 1) / mps0 * mps0;
        Fail(control_, OverflowStatus(o.length - lastStart, mps0), done);
        break;
    }
    case Handshake::Stall: Fail(control_, usbd::kStallPid, done); break;
    case Handshake::Timeout: Fail(control_, usbd::kDevNotResponding, done); break;
    case Handshake::Nak: Nak(control_); break;
    }
}

void HostController::RunPeriodic(Pipe& pipe, std::uint64_t frame, std::vector<Transfer*>& done) {
    if (pipe.halted || pipe.queue.empty() || frame % pipe.intervalFrames != 0) return;
    Transfer* t = pipe.queue.front();
    if (Eligible(t, frame)) Packet(pipe, t, done);
}

void HostController::RunIso(Pipe& pipe, std::uint64_t frame, std::vector<Transfer*>& done) {
    while (!pipe.queue.empty()) {
        Transfer* t = pipe.queue.front();
        const std::uint64_t at = t->isoFirstFrame + std::uint64_t{t->isoNext} * pipe.intervalFrames;
        if (at > frame) return;
        IsoPacketResult& packet = t->packets[t->isoNext];
        const std::uint32_t end = t->isoNext + 1 < t->packets.size() ? t->packets[t->isoNext + 1].offset : t->length;
        const std::uint32_t size = end > packet.offset && packet.offset <= t->length ? std::min(end, t->length) - packet.offset : 0;
        if (at < frame) {
            packet.status = usbd::kIsoNotAccessedLate;  // its frame went by (device suspended)
            packet.length = 0;
        } else if (t->in) {
            const InPacket p = TakeIn(pipe, t, packet.offset, std::min<std::uint32_t>(size, pipe.endpoint.maxPacketSize));
            packet.length = p.landed;
            packet.status = p.answer.handshake == Handshake::Ack ? p.overflow : HandshakeStatus(p.answer.handshake);
        } else {
            const Handshake h = device_.Out(pipe.endpoint.address, std::span<const std::uint8_t>(t->buffer + packet.offset, size));
            packet.status = HandshakeStatus(h);
            packet.length = h == Handshake::Ack ? size : 0;
        }
        if (packet.status != usbd::kSuccess) ++t->isoErrors;
        t->actual += packet.length;
        if (++t->isoNext < t->packets.size()) return;
        Finish(pipe, t->isoErrors == t->packets.size() ? usbd::kIsochRequestFailed : usbd::kSuccess, done);
    }
}

std::vector<Transfer*> HostController::RunFrame() {
    std::vector<Transfer*> done;
    if (suspended_) return done;
    const VirtualTime now = clock_.Now();
    const std::int64_t frame = now / frame_ - 1;  // the (micro)frame that has just ended
    if (frame > lastRun_) {
        lastRun_ = frame;
        const auto k = static_cast<std::uint64_t>(frame);
        RunControl(k, done);
        for (auto& p : pipes_) {
            if (p->endpoint.type == EndpointType::Interrupt) RunPeriodic(*p, k, done);
            else if (p->endpoint.type == EndpointType::Isochronous) RunIso(*p, k, done);
        }
    }
    const std::int64_t slot = static_cast<std::int64_t>(SlotAtOrAfter(now + 1)) - 2;  // the slot that has just ended
    if (slot > lastSlot_) {
        lastSlot_ = slot;
        RunBulkSlot(static_cast<std::uint64_t>(slot), done);
    }
    return done;
}

VirtualTime HostController::SlotStart(std::uint64_t slot) const {
    const auto frame = static_cast<VirtualTime>(slot / bulkBudget_);
    const auto index = static_cast<VirtualTime>(slot % bulkBudget_);
    return frame * frame_ + index * frame_ / bulkBudget_;
}

std::uint64_t HostController::SlotAtOrAfter(VirtualTime t) const {
    const auto frame = static_cast<std::uint64_t>(t / frame_);
    const auto offset = static_cast<std::uint64_t>(t % frame_);
    const auto length = static_cast<std::uint64_t>(frame_);
    return frame * bulkBudget_ + (offset * bulkBudget_ + length - 1) / length;
}

bool HostController::ReadyInSlot(const Pipe& pipe, std::uint64_t slot) const {
    return pipe.endpoint.type == EndpointType::Bulk && !pipe.halted && !pipe.queue.empty() &&
           pipe.queue.front()->eligibleSlot <= slot && pipe.idleUntilFrame <= slot / bulkBudget_;
}

// One slot of the frame's bulk budget: the pipes are walked round-robin from the one after the pipe
// served last, and the first that moves a packet (or stalls, or gets no answer) uses the slot up.
void HostController::RunBulkSlot(std::uint64_t slot, std::vector<Transfer*>& done) {
    const std::size_t n = pipes_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t index = (roundRobin_ + i) % n;
        Pipe& p = *pipes_[index];
        if (!ReadyInSlot(p, slot)) continue;
        roundRobin_ = (index + 1) % n;
        if (Packet(p, p.queue.front(), done)) return;
        p.idleUntilFrame = slot / bulkBudget_ + 1;
        const bool nak = p.waiting && !p.halted;
        if (!nak) return;
    }
}

std::uint64_t HostController::NextIntervalFrame(const Pipe& pipe, std::uint64_t from) const {
    const std::uint64_t i = pipe.intervalFrames;
    return (from + i - 1) / i * i;
}

std::optional<std::uint64_t> HostController::DueFrame(const Pipe& pipe, std::uint64_t floor) {
    if (pipe.queue.empty() || (pipe.halted && &pipe != &control_)) return std::nullopt;
    const Transfer* t = pipe.queue.front();
    std::uint64_t base = std::max(t->eligibleFrame, floor);
    if (pipe.endpoint.type == EndpointType::Isochronous)
        return std::max(base, t->isoFirstFrame + std::uint64_t{t->isoNext} * pipe.intervalFrames);
    if (pipe.waiting) {
        const auto when = ChangeAt(pipe);
        if (!when) return std::nullopt;
        base = std::max(base, FrameAt(*when));
    }
    if (pipe.endpoint.type == EndpointType::Interrupt) return NextIntervalFrame(pipe, base);
    return base;
}

std::optional<std::uint64_t> HostController::DueSlot(const Pipe& pipe, std::uint64_t floor) {
    if (pipe.queue.empty() || pipe.halted) return std::nullopt;
    std::uint64_t slot = std::max({floor, pipe.queue.front()->eligibleSlot, pipe.idleUntilFrame * bulkBudget_});
    if (pipe.waiting) {
        const auto when = ChangeAt(pipe);
        if (!when) return std::nullopt;
        slot = std::max(slot, SlotAtOrAfter(*when));
    }
    return slot;
}

std::optional<VirtualTime> HostController::NextDue() {
    if (suspended_) return std::nullopt;
    const VirtualTime now = clock_.Now();
    std::optional<VirtualTime> best;
    auto consider = [&](VirtualTime t) {
        if (!best || t < *best) best = t;
    };
    const std::uint64_t floor = std::max<std::uint64_t>(static_cast<std::uint64_t>(lastRun_ + 1), FrameAt(now));
    const auto frameEnd = [&](std::uint64_t frame) { return static_cast<VirtualTime>((frame + 1) * static_cast<std::uint64_t>(frame_)); };
    if (const auto f = DueFrame(control_, floor)) consider(frameEnd(*f));
    // The slot under way now, unless it has run already.
    const std::uint64_t slotFloor = std::max<std::uint64_t>(static_cast<std::uint64_t>(lastSlot_ + 1), SlotAtOrAfter(now + 1) - 1);
    for (auto& p : pipes_) {
        if (p->endpoint.type == EndpointType::Bulk) {
            if (const auto s = DueSlot(*p, slotFloor)) consider(SlotStart(*s + 1));
        } else if (const auto f = DueFrame(*p, floor)) {
            consider(frameEnd(*f));
        }
    }
    return best;
}

}  // namespace tarvel::usb
