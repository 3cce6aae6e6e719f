// The adapter's UART in virtual time. Bytes move at the configured rate in both directions: one byte
// takes BitsPerCharacter() bit times (10 at 8N1, so 11,520 bytes a second at 115200). The model is
// evaluated lazily: every access first advances it to the current time, replaying the byte completions
// that fell due since (exact rational timing, no drift), so a quiet or a busy line costs nothing between
// accesses and no timer runs per byte.
//
// Receive side: bytes from the far side enter a FIFO of fixed size; a byte that finds it full is lost
// and counted as an overrun. With RTS/CTS flow control RTS drops when the FIFO is nearly full and rises
// again once the host has drained it; with XON/XOFF the UART sends XOFF and XON instead and obeys the
// far side's. Transmit side: the host's bytes wait in a FIFO and go out one after the other while CTS
// (if obeyed), XOFF and break allow.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "usb/model/usb_types.h"
#include "usb/serial/line_settings.h"
#include "usb/serial/vendor_commands.h"

namespace tarvel::usb {

class Uart;

// What the UART's wire is plugged into.
class FarSide {
public:
    virtual ~FarSide() = default;
    virtual void Attach(Uart& uart) { (void)uart; }
    // A byte the adapter transmitted, at the time its last stop bit ended.
    virtual void ByteFromAdapter(VirtualTime at, std::uint8_t byte) = 0;
    // The adapter's RTS, DTR or break changed.
    virtual void AdapterLinesChanged(VirtualTime at, OutputLines lines) = 0;
};

struct UartCounters {
    std::uint64_t transmitted = 0;  // bytes that left the transmitter
    std::uint64_t received = 0;     // bytes stored in the receive FIFO
    std::uint64_t overruns = 0;     // bytes lost to a full receive FIFO
    std::uint64_t errors = 0;       // bytes received with a parity or framing error
    std::uint64_t breaks = 0;       // break conditions seen on the receive line
};

class Uart : public SerialFunction {
public:
    Uart(const Clock& clock, std::size_t rxFifoSize, std::size_t txFifoSize);

    void Connect(FarSide* far);
    // Called when the far side starts something the host may be waiting for (bytes, lines), so that
    // the adapter can tell the bus to poll again.
    void OnFarActivity(std::function<void()> callback) { farActivity_ = std::move(callback); }

    // --- Host side (the adapter's endpoints and vendor commands) ---
    void Configure(const LineSettings& settings) override;
    const LineSettings& Settings() const override { return settings_; }
    void SetModemControl(bool rts, bool dtr, bool breakOn) override;
    void SetEnabled(bool enabled) override;  // disabled: FIFOs emptied, nothing sent, received bytes dropped
    bool Enabled() const { return enabled_; }
    void SetErrorReplacement(bool on, std::uint8_t errorChar) override;
    std::size_t TxRoom();
    void Write(std::span<const std::uint8_t> bytes);  // at most TxRoom() bytes are taken
    std::size_t RxAvailable();
    std::size_t Read(std::span<std::uint8_t> out);
    InputLines Inputs();
    OutputLines Outputs() const;
    // The status byte: CTS 0x01, DSR 0x02, DCD 0x04, RI 0x08, and since the previous status read:
    // overrun 0x10, parity or framing error 0x20, break received 0x40.
    std::uint8_t TakeStatusByte();
    UartCounters Counters();
    // When the next byte completes on either wire, if one is under way.
    std::optional<VirtualTime> NextEvent() const;
    // Replays everything due by now (far sides call it before they report what arrived).
    void Sync() { AdvanceTo(clock_.Now()); }

    // --- Far side ---
    // Queues bytes for the far side's transmitter; `error` marks them as received with a parity error.
    void FarTransmit(std::span<const std::uint8_t> bytes, bool error = false);
    std::size_t FarPending() const { return farQueue_.size(); }
    // Whether the far transmitter waits while the adapter's RTS is off or after it sent XOFF.
    void SetFarObeysFlowControl(bool on) { farObeysFlow_ = on; }
    void SetInputLines(InputLines lines);
    void SetFarBreak(bool on);
    // For far sides wired straight back (loopback): called from ByteFromAdapter / AdapterLinesChanged,
    // at the time given there.
    void DeliverFromFar(VirtualTime at, std::uint8_t byte) { Deliver(LineTime{at, 0}, byte, false); }
    void ApplyInputLinesAt(VirtualTime at, InputLines lines) { ApplyInputs(LineTime{at, 0}, lines); }
    void ApplyFarBreakAt(VirtualTime at, bool on);

    std::size_t RxFifoSize() const { return rxCapacity_; }
    std::size_t TxFifoSize() const { return txCapacity_; }

private:
    struct LineTime {  // ticks + frac / baud_
        VirtualTime ticks = 0;
        std::uint64_t frac = 0;
        VirtualTime Ceil() const { return ticks + (frac ? 1 : 0); }
        bool AtOrBefore(VirtualTime t) const { return ticks < t || (ticks == t && frac == 0); }
        bool operator<=(const LineTime& o) const { return ticks < o.ticks || (ticks == o.ticks && frac <= o.frac); }
    };
    struct Wire {
        bool busy = false;
        LineTime doneAt;
        std::uint8_t byte = 0;
        bool error = false;
    };

    void AdvanceTo(VirtualTime t);
    LineTime After(LineTime start) const;
    void TryStartTx(LineTime at);
    void TryStartFar(LineTime at);
    void CompleteTx();
    void CompleteFar();
    void Deliver(LineTime at, std::uint8_t byte, bool error);
    void ApplyInputs(LineTime at, InputLines lines);
    void AfterRxDrained(LineTime at);
    void OutputsMayHaveChanged(LineTime at);
    bool EffectiveRts() const { return settings_.rtsCts ? autoRts_ : mcrRts_; }
    LineTime NowLine() { return LineTime{clock_.Now(), 0}; }

    void FarActivity() {
        if (farActivity_) farActivity_();
    }

    const Clock& clock_;
    FarSide* far_ = nullptr;
    std::function<void()> farActivity_;
    LineSettings settings_;
    std::size_t rxCapacity_, txCapacity_;
    std::deque<std::uint8_t> rx_, tx_;
    std::deque<std::pair<std::uint8_t, bool>> farQueue_;
    Wire txWire_, farWire_;
    std::optional<std::uint8_t> flowChar_;  // XON or XOFF waiting to go out ahead of data
    bool enabled_ = false;
    bool mcrRts_ = false, mcrDtr_ = false, breakOn_ = false;
    bool autoRts_ = true;
    bool xoffSent_ = false;      // we asked the far side to pause
    bool heldByXoff_ = false;    // the far side asked us to pause
    bool farHeldByXoff_ = false; // the far transmitter obeys our XOFF
    bool farObeysFlow_ = true;
    bool farBreak_ = false;
    bool errorReplace_ = false;
    std::uint8_t errorChar_ = 0;
    InputLines inputs_;
    OutputLines lastOutputs_;
    std::uint8_t sticky_ = 0;
    UartCounters counters_;
    VirtualTime advancedTo_ = 0;
};

}  // namespace tarvel::usb
