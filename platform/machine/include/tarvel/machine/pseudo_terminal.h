// A Linux pseudo-terminal for a program outside the machine: the program opens the terminal's path
// (or a symbolic link to it) as it would open a serial port, and we work the master end.
//
// We keep the terminal's own end open as well, so that a program may close it and open it again (or a
// second program take over) without the master seeing a hang-up, and the settings the program made
// stay. The terminal starts in raw mode: no echo, no line editing, eight-bit clean.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tarvel::machine {

// The serial settings a terminal's termios describes.
struct TerminalSettings {
    std::uint32_t baud = 0;   // the output rate (the actual number, also for rates without a Bnnn)
    std::uint8_t dataBits = 8;
    char parity = 'N';        // N, O, E, M, S
    std::uint8_t stopBits = 1;
    bool rtsCts = false;      // CRTSCTS
    bool outX = false;        // IXON: obey XON/XOFF from the far side
    bool inX = false;         // IXOFF: send XON/XOFF
    std::uint8_t xonChar = 0x11, xoffChar = 0x13; // VSTART, VSTOP
    bool operator==(const TerminalSettings&) const = default;
};

// "115200 baud, 8N1, RTS/CTS", "9600 baud, 7E2, XON/XOFF".
std::string DescribeTerminalSettings(const TerminalSettings& settings);

// Reads and writes the settings through any descriptor of the terminal (the master's reaches the
// terminal's own); false with errno set if the descriptor is not a terminal.
bool ReadTerminalSettings(int fd, TerminalSettings* settings);
bool WriteTerminalSettings(int fd, const TerminalSettings& settings);

class PseudoTerminal {
public:
    // nullptr with the reason in *error if no terminal can be had (or the link cannot be made). A
    // non-empty linkPath gets a symbolic link to the terminal, replacing an old link there (but no
    // other kind of file); the link goes with the terminal.
    static std::unique_ptr<PseudoTerminal> Open(const std::string& linkPath, std::string* error);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    int Master() const { return master_; } // non-blocking
    const std::string& Path() const { return path_; }
    const std::string& LinkPath() const { return link_; }
    // "/dev/pts/4 (link ./tarvel-com3)".
    std::string Describe() const;

    // Packet mode on the master, with EXTPROC on the terminal: a read of the master then returns a
    // status byte of its own when the program flushes a queue (TIOCPKT_FLUSHREAD, TIOCPKT_FLUSHWRITE)
    // and, while EXTPROC stays set, when it changes the termios (TIOCPKT_IOCTL); data come after a 0.
    // EXTPROC also hands input processing (line editing, echo, signal characters) to the far end, which
    // a program that puts the port in raw mode does not notice.
    bool EnablePacketMode();
    // Whether EXTPROC is still set (a program that clears the whole c_lflag takes it away).
    bool SettingsNotified() const;

    // Programs opening and closing the terminal, watched through inotify on its node (our own
    // descriptor was opened before). Poll OpensWatch for POLLIN, then TakeOpens; -1 if there is no
    // watch, and then ProgramHasItOpen always says yes.
    int OpensWatch() const { return watch_; }
    void TakeOpens();
    bool ProgramHasItOpen() const { return watch_ < 0 || opens_ > 0; }
    // Drops what the terminal holds for a program to read (as its tcflush(TCIFLUSH) would).
    void DropInput();

private:
    PseudoTerminal() = default;
    int master_ = -1;
    int held_ = -1; // our own descriptor of the terminal's end
    int watch_ = -1;
    int opens_ = 0; // the programs' open descriptions of the terminal
    std::string path_, link_;
};

} // namespace tarvel::machine
