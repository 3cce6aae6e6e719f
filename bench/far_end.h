// The far end of the adapter's line as the benchmarks need it: a source that keeps the far transmitter
// busy with a known byte sequence, and a sink that counts (and on request times) every byte the adapter
// transmits and checks that they come in the order the application wrote them.
#pragma once

#include <cstdint>
#include <vector>

#include "usb/serial/far_sides.h"
#include "usb/serial/sequence_stream.h"

namespace tarvelbench {

// The byte at position i of every stream the benchmarks send.
inline std::uint8_t PatternByte(std::uint64_t i) { return tarvel::usb::SequenceByte(i); }

class FarEnd : public tarvel::usb::FarSide {
public:
    void Attach(tarvel::usb::Uart& uart) override { uart_ = &uart; }
    void ByteFromAdapter(tarvel::usb::VirtualTime at, std::uint8_t byte) override;
    void AdapterLinesChanged(tarvel::usb::VirtualTime, tarvel::usb::OutputLines) override {}

    tarvel::usb::Uart& Line() { return *uart_; }
    // CTS, DSR and DCD on, as a powered peer holds them.
    void RaiseLines();
    // Queues bytes of the sequence until `depth` wait for the far transmitter.
    void KeepQueued(std::size_t depth);
    // Sends `count` bytes of the sequence now.
    void Send(std::size_t count);
    std::uint64_t Queued() const { return queued_; }

    // Bytes that arrived from the adapter (brought up to the current time first).
    std::uint64_t Arrived();
    std::uint64_t OutOfOrder() const { return outOfOrder_; }
    void RecordTimes(bool on) { recordTimes_ = on; }
    std::vector<tarvel::usb::VirtualTime>& Times() { return times_; }

private:
    tarvel::usb::Uart* uart_ = nullptr;
    std::uint64_t queued_ = 0;   // bytes of the sequence handed to the far transmitter
    std::uint64_t arrived_ = 0;
    std::uint64_t outOfOrder_ = 0;
    bool recordTimes_ = false;
    std::vector<tarvel::usb::VirtualTime> times_;
};

} // namespace tarvelbench
