// What can be plugged into the far end of the adapter's serial line.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "usb/serial/uart.h"

namespace tarvel::usb {

// A loopback plug: TX wired to RX, RTS to CTS, DTR to DSR and DCD; RI stays off.
class LoopbackPlug : public FarSide {
public:
    void Attach(Uart& uart) override { uart_ = &uart; }
    void ByteFromAdapter(VirtualTime at, std::uint8_t byte) override;
    void AdapterLinesChanged(VirtualTime at, OutputLines lines) override;

private:
    Uart* uart_ = nullptr;
};

// A peer that tests drive in virtual time: it sends bytes (at the adapter's line settings), sets the
// lines the adapter sees, and records every byte and line change that arrives with its time.
class ScriptedPeer : public FarSide {
public:
    struct Arrival {
        VirtualTime at;
        std::uint8_t byte;
    };
    struct LineChange {
        VirtualTime at;
        OutputLines lines;
    };

    void Attach(Uart& uart) override { uart_ = &uart; }
    void ByteFromAdapter(VirtualTime at, std::uint8_t byte) override { arrivals_.push_back({at, byte}); }
    void AdapterLinesChanged(VirtualTime at, OutputLines lines) override { lineChanges_.push_back({at, lines}); }

    void Send(std::span<const std::uint8_t> bytes);
    void Send(std::string_view text);
    void SendWithParityError(std::span<const std::uint8_t> bytes);
    std::size_t PendingToSend() const;
    void SetLines(InputLines lines);  // CTS, DSR, DCD and RI as the adapter sees them
    void SetBreak(bool on);
    void SetObeysFlowControl(bool on);

    const std::vector<Arrival>& Arrivals();  // brought up to the current time first
    std::vector<std::uint8_t> ReceivedBytes();
    void ClearReceived() { arrivals_.clear(); }
    const std::vector<LineChange>& LineChanges();
    OutputLines AdapterLines();

private:
    Uart& Wire();
    Uart* uart_ = nullptr;
    std::vector<Arrival> arrivals_;
    std::vector<LineChange> lineChanges_;
};

// An outside byte stream (standard input and output, a TCP connection) behind the line, for the
// command-line program. Bytes the adapter sends go to the sink as the line model produces them; bytes
// from outside are injected with Inject, which must run on an emulated thread (from an outside thread,
// through the kernel's Post). The line model advances when the bus polls the adapter or when Pump is
// called; a program that only writes should Pump now and then to flush the transmit FIFO. The sink runs
// on whichever emulated thread advanced the line, possibly the bus's frame DPC at DISPATCH_LEVEL: it
// may write to a host stream but must not wait on kernel objects.
class StreamPeer : public FarSide {
public:
    using Sink = std::function<void(std::uint8_t byte)>;
    explicit StreamPeer(Sink sink, InputLines lines = InputLines{true, true, true, false})
        : sink_(std::move(sink)), lines_(lines) {}

    void Attach(Uart& uart) override;
    void ByteFromAdapter(VirtualTime, std::uint8_t byte) override { sink_(byte); }
    void AdapterLinesChanged(VirtualTime, OutputLines lines) override { adapterLines_ = lines; }

    void Inject(std::span<const std::uint8_t> bytes);
    void Pump();
    // Injected bytes the far transmitter has not started on yet (as of now).
    std::size_t PendingToSend();
    OutputLines AdapterLines() const { return adapterLines_; }

private:
    Sink sink_;
    InputLines lines_;
    OutputLines adapterLines_;
    Uart* uart_ = nullptr;
};

}  // namespace tarvel::usb
