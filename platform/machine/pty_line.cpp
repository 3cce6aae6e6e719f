#include "tarvel/machine/pty_line.h"

#include <unistd.h>

#include <cerrno>

namespace tarvel::machine {

std::unique_ptr<PtyLine> PtyLine::Open(const std::string& linkPath, std::string* error) {
    auto terminal = PseudoTerminal::Open(linkPath, error);
    if (!terminal) return nullptr;
    return std::unique_ptr<PtyLine>(new PtyLine(std::move(terminal)));
}

PtyLine::~PtyLine() { Stop(); }

std::uint64_t PtyLine::DroppedBytes() const { return dropped_; }

// On an emulated thread, which must not wait for the program: the master is non-blocking.
bool PtyLine::WriteOut(const std::uint8_t* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(terminal_->Master(), bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            dropped_ += length;
            return true;
        }
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace tarvel::machine
