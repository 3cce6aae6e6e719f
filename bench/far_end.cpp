#include "far_end.h"

namespace tarvelbench {

void FarEnd::ByteFromAdapter(tarvel::usb::VirtualTime at, std::uint8_t byte) {
    if (byte != PatternByte(arrived_)) ++outOfOrder_;
    ++arrived_;
    if (recordTimes_) times_.push_back(at);
}

void FarEnd::RaiseLines() { uart_->SetInputLines({.cts = true, .dsr = true, .dcd = true, .ri = false}); }

void FarEnd::KeepQueued(std::size_t depth) {
    const std::size_t pending = uart_->FarPending();
    if (pending < depth) Send(depth - pending);
}

void FarEnd::Send(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = PatternByte(queued_ + i);
    queued_ += count;
    uart_->FarTransmit(bytes);
}

std::uint64_t FarEnd::Arrived() {
    uart_->Sync();
    return arrived_;
}

} // namespace tarvelbench
