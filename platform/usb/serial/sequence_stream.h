// A far side for the fast device that moves a known byte sequence: towards the host it produces the
// sequence while asked to (without end, or a given number of bytes), and from the host it takes
// bytes and checks that they continue the same sequence, so that a loss, a duplicate or a reordering
// anywhere in the stack shows.
#pragma once

#include <cstdint>
#include <optional>

#include "usb/serial/fast_device.h"

namespace tarvel::usb {

// Byte i of the sequence.
inline std::uint8_t SequenceByte(std::uint64_t i) { return static_cast<std::uint8_t>(i * 7 + (i >> 8)); }

class SequenceStream : public FastFarSide {
public:
    explicit SequenceStream(FastDevice& device) : device_(device) { device.Connect(this); }

    // Produce without end (nullopt) or `bytes` more, then stop; 0 stops at once.
    void ProduceForHost(std::optional<std::uint64_t> bytes);
    std::uint64_t Produced() const { return produced_; }

    std::uint64_t Consumed() const { return consumed_; }
    std::uint64_t OutOfOrder() const { return outOfOrder_; }  // bytes from the host off the sequence

    std::size_t Produce(std::span<std::uint8_t> out) override;
    void Consume(std::span<const std::uint8_t> bytes) override;

private:
    FastDevice& device_;
    std::optional<std::uint64_t> budget_ = 0;  // bytes still to produce; nullopt: no end
    std::uint64_t produced_ = 0, consumed_ = 0, outOfOrder_ = 0;
};

}  // namespace tarvel::usb
