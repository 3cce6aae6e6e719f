#include "usb/serial/sequence_stream.h"

#include <algorithm>

namespace tarvel::usb {

void SequenceStream::ProduceForHost(std::optional<std::uint64_t> bytes) {
    budget_ = bytes;
    if (!bytes || *bytes) device_.FarActivity();
}

std::size_t SequenceStream::Produce(std::span<std::uint8_t> out) {
    std::size_t n = out.size();
    if (budget_) n = static_cast<std::size_t>(std::min<std::uint64_t>(n, *budget_));
    for (std::size_t i = 0; i < n; ++i) out[i] = SequenceByte(produced_ + i);
    produced_ += n;
    if (budget_) *budget_ -= n;
    return n;
}

void SequenceStream::Consume(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) {
        if (b != SequenceByte(consumed_)) ++outOfOrder_;
        ++consumed_;
    }
}

}  // namespace tarvel::usb
