// A pseudo-terminal as the far end of an adapter's serial line: a program that opens the terminal (a
// terminal emulator, rz, a device simulator) is the device at the other end of the cable. Its termios
// does not matter to the line, which runs at the adapter's settings.
//
// Bytes the adapter transmits while the program does not read pile up in the terminal until it is
// full; after that they are lost, as on a line where nobody listens (DroppedBytes counts them).
#pragma once

#include <atomic>

#include "tarvel/machine/external_line.h"
#include "tarvel/machine/pseudo_terminal.h"

namespace tarvel::machine {

class PtyLine : public ExternalLine {
public:
    // nullptr with the reason in *error. linkPath as for PseudoTerminal::Open.
    static std::unique_ptr<PtyLine> Open(const std::string& linkPath, std::string* error);
    ~PtyLine() override;
    const PseudoTerminal& Terminal() const { return *terminal_; }
    std::uint64_t DroppedBytes() const;
    std::string Describe() const override { return "pseudo-terminal " + terminal_->Describe(); }

protected:
    int InputDescriptor() override { return terminal_->Master(); }
    bool WriteOut(const std::uint8_t* bytes, std::size_t length) override;

private:
    explicit PtyLine(std::unique_ptr<PseudoTerminal> terminal) : terminal_(std::move(terminal)) {}
    std::unique_ptr<PseudoTerminal> terminal_;
    std::atomic<std::uint64_t> dropped_{0};
};

} // namespace tarvel::machine
