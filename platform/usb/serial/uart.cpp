#include "usb/serial/uart.h"

#include <algorithm>

namespace tarvel::usb {

namespace {
constexpr std::uint64_t kTicksPerSecond = 10'000'000;  // 100-ns units
}

Uart::Uart(const Clock& clock, std::size_t rxFifoSize, std::size_t txFifoSize)
    : clock_(clock), rxCapacity_(rxFifoSize), txCapacity_(txFifoSize) {}

void Uart::Connect(FarSide* far) {
    AdvanceTo(clock_.Now());
    far_ = far;
    if (far_) {
        far_->Attach(*this);
        far_->AdapterLinesChanged(clock_.Now(), Outputs());
    }
}

Uart::LineTime Uart::After(LineTime start) const {
    const std::uint64_t total = start.frac + std::uint64_t{settings_.BitsPerCharacter()} * kTicksPerSecond;
    return LineTime{start.ticks + static_cast<VirtualTime>(total / settings_.baud), total % settings_.baud};
}

// Replays every byte completion due by t, in time order (the adapter's own transmitter first on a tie).
void Uart::AdvanceTo(VirtualTime t) {
    if (t < advancedTo_) t = advancedTo_;
    for (;;) {
        const bool txDue = txWire_.busy && txWire_.doneAt.AtOrBefore(t);
        const bool farDue = farWire_.busy && farWire_.doneAt.AtOrBefore(t);
        if (!txDue && !farDue) break;
        if (txDue && (!farDue || txWire_.doneAt <= farWire_.doneAt)) CompleteTx();
        else CompleteFar();
    }
    advancedTo_ = t;
}

void Uart::TryStartTx(LineTime at) {
    if (txWire_.busy || !enabled_ || breakOn_) return;
    std::uint8_t byte;
    if (flowChar_) {  // flow-control characters go out even while data is held
        byte = *flowChar_;
        flowChar_.reset();
    } else {
        if (tx_.empty()) return;
        if (settings_.rtsCts && !inputs_.cts) return;
        if (settings_.xonXoff && heldByXoff_) return;
        byte = tx_.front();
        tx_.pop_front();
    }
    txWire_ = Wire{true, After(at), byte, false};
}

void Uart::TryStartFar(LineTime at) {
    if (farWire_.busy || farQueue_.empty() || farBreak_) return;
    if (farObeysFlow_ && settings_.rtsCts && !EffectiveRts()) return;
    if (farObeysFlow_ && settings_.xonXoff && farHeldByXoff_) return;
    const auto [byte, error] = farQueue_.front();
    farQueue_.pop_front();
    farWire_ = Wire{true, After(at), byte, error};
}

void Uart::CompleteTx() {
    const LineTime at = txWire_.doneAt;
    const std::uint8_t byte = txWire_.byte;
    txWire_.busy = false;
    ++counters_.transmitted;
    if (settings_.xonXoff && byte == settings_.xoffChar) farHeldByXoff_ = true;
    if (settings_.xonXoff && byte == settings_.xonChar) farHeldByXoff_ = false;
    if (far_) far_->ByteFromAdapter(at.Ceil(), byte);
    TryStartTx(at);
    TryStartFar(at);
}

void Uart::CompleteFar() {
    const LineTime at = farWire_.doneAt;
    const Wire done = farWire_;
    farWire_.busy = false;
    Deliver(at, done.byte, done.error);
    TryStartFar(at);
}

void Uart::Deliver(LineTime at, std::uint8_t byte, bool error) {
    if (!enabled_) return;
    if (settings_.xonXoff && !error && (byte == settings_.xonChar || byte == settings_.xoffChar)) {
        heldByXoff_ = byte == settings_.xoffChar;
        TryStartTx(at);
        return;
    }
    if (error) {
        ++counters_.errors;
        sticky_ |= 0x20;
        if (errorReplace_) byte = errorChar_;
    }
    if (rx_.size() >= rxCapacity_) {
        ++counters_.overruns;
        sticky_ |= 0x10;
        return;
    }
    rx_.push_back(byte);
    ++counters_.received;
    const std::size_t high = rxCapacity_ > 64 ? rxCapacity_ - 32 : rxCapacity_ / 2;
    if (rx_.size() >= high) {
        if (settings_.rtsCts && autoRts_) {
            autoRts_ = false;
            OutputsMayHaveChanged(at);
        }
        if (settings_.xonXoff && !xoffSent_) {
            xoffSent_ = true;
            flowChar_ = settings_.xoffChar;
            TryStartTx(at);
        }
    }
}

void Uart::AfterRxDrained(LineTime at) {
    if (rx_.size() > rxCapacity_ / 2) return;
    if (settings_.rtsCts && !autoRts_) {
        autoRts_ = true;
        OutputsMayHaveChanged(at);
    }
    if (settings_.xonXoff && xoffSent_) {
        xoffSent_ = false;
        flowChar_ = settings_.xonChar;
        TryStartTx(at);
    }
    TryStartFar(at);
}

OutputLines Uart::Outputs() const { return OutputLines{EffectiveRts(), mcrDtr_, breakOn_}; }

void Uart::OutputsMayHaveChanged(LineTime at) {
    const OutputLines now = Outputs();
    if (now == lastOutputs_) return;
    lastOutputs_ = now;
    if (far_) far_->AdapterLinesChanged(at.Ceil(), now);
    TryStartFar(at);
}

void Uart::ApplyInputs(LineTime at, InputLines lines) {
    inputs_ = lines;
    TryStartTx(at);
}

void Uart::ApplyFarBreakAt(VirtualTime at, bool on) {
    if (on && !farBreak_ && enabled_) {
        ++counters_.breaks;
        sticky_ |= 0x40;
    }
    farBreak_ = on;
    TryStartFar(LineTime{at, 0});
}

// --- Host side ---

void Uart::Configure(const LineSettings& settings) {
    const VirtualTime now = clock_.Now();
    AdvanceTo(now);
    // A byte already on the wire keeps its timing; rounding to whole ticks drops the old denominator.
    if (txWire_.busy) txWire_.doneAt = LineTime{txWire_.doneAt.Ceil(), 0};
    if (farWire_.busy) farWire_.doneAt = LineTime{farWire_.doneAt.Ceil(), 0};
    const bool flowWasOn = settings_.rtsCts;
    settings_ = settings;
    if (settings_.baud == 0) settings_.baud = 1;
    if (!settings_.xonXoff) {
        heldByXoff_ = farHeldByXoff_ = xoffSent_ = false;
        flowChar_.reset();
    }
    if (settings_.rtsCts && !flowWasOn) autoRts_ = rx_.size() < (rxCapacity_ > 64 ? rxCapacity_ - 32 : rxCapacity_ / 2);
    OutputsMayHaveChanged(NowLine());
    TryStartTx(NowLine());
    TryStartFar(NowLine());
}

void Uart::SetModemControl(bool rts, bool dtr, bool breakOn) {
    AdvanceTo(clock_.Now());
    mcrRts_ = rts;
    mcrDtr_ = dtr;
    breakOn_ = breakOn;
    OutputsMayHaveChanged(NowLine());
    TryStartTx(NowLine());
}

void Uart::SetEnabled(bool enabled) {
    AdvanceTo(clock_.Now());
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (!enabled) {
        rx_.clear();
        tx_.clear();
        flowChar_.reset();
        txWire_.busy = false;  // the byte on the wire is abandoned
        heldByXoff_ = xoffSent_ = farHeldByXoff_ = false;
        autoRts_ = true;
    }
    OutputsMayHaveChanged(NowLine());
    TryStartTx(NowLine());
    TryStartFar(NowLine());
}

void Uart::SetErrorReplacement(bool on, std::uint8_t errorChar) {
    AdvanceTo(clock_.Now());
    errorReplace_ = on;
    errorChar_ = errorChar;
}

std::size_t Uart::TxRoom() {
    AdvanceTo(clock_.Now());
    return txCapacity_ - tx_.size();
}

void Uart::Write(std::span<const std::uint8_t> bytes) {
    AdvanceTo(clock_.Now());
    if (!enabled_) return;  // a disabled port swallows what the host sends
    const std::size_t n = std::min(bytes.size(), txCapacity_ - tx_.size());
    tx_.insert(tx_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
    TryStartTx(NowLine());
}

std::size_t Uart::RxAvailable() {
    AdvanceTo(clock_.Now());
    return rx_.size();
}

std::size_t Uart::Read(std::span<std::uint8_t> out) {
    AdvanceTo(clock_.Now());
    const std::size_t n = std::min(out.size(), rx_.size());
    std::copy_n(rx_.begin(), n, out.begin());
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
    if (n) AfterRxDrained(NowLine());
    return n;
}

InputLines Uart::Inputs() {
    AdvanceTo(clock_.Now());
    return inputs_;
}

std::uint8_t Uart::TakeStatusByte() {
    AdvanceTo(clock_.Now());
    std::uint8_t status = static_cast<std::uint8_t>((inputs_.cts ? 0x01 : 0) | (inputs_.dsr ? 0x02 : 0) |
                                                    (inputs_.dcd ? 0x04 : 0) | (inputs_.ri ? 0x08 : 0));
    status |= sticky_;
    sticky_ = 0;
    return status;
}

UartCounters Uart::Counters() {
    AdvanceTo(clock_.Now());
    return counters_;
}

std::optional<VirtualTime> Uart::NextEvent() const {
    std::optional<VirtualTime> next;
    if (txWire_.busy) next = txWire_.doneAt.Ceil();
    if (farWire_.busy) next = next ? std::min(*next, farWire_.doneAt.Ceil()) : farWire_.doneAt.Ceil();
    return next;
}

// --- Far side ---

void Uart::FarTransmit(std::span<const std::uint8_t> bytes, bool error) {
    AdvanceTo(clock_.Now());
    for (std::uint8_t b : bytes) farQueue_.emplace_back(b, error);
    TryStartFar(NowLine());
    FarActivity();
}

void Uart::SetInputLines(InputLines lines) {
    AdvanceTo(clock_.Now());
    ApplyInputs(NowLine(), lines);
    FarActivity();
}

void Uart::SetFarBreak(bool on) {
    AdvanceTo(clock_.Now());
    ApplyFarBreakAt(clock_.Now(), on);
    FarActivity();
}

}  // namespace tarvel::usb
