// The application side as a pseudo-terminal: a program outside the machine opens the terminal as its
// serial port, and the bridge carries what it does to COM3 through the Win32-style API. Bytes the
// program writes become WriteFile calls; bytes ReadFile brings are written to the terminal. Settings
// the program makes (rate, stop bits, RTS/CTS, XON/XOFF and their characters) become SetCommState, its
// tcflush PurgeComm. While no program has the terminal open, what the port receives is dropped, as a
// closed serial port hears nothing; the next program does not find an earlier session's bytes. A
// pseudo-terminal has no character size or parity of its own (Linux keeps them at
// 8 bits, no parity), no modem lines and no break: those stay as the run set them.
//
// A host thread watches the terminal (packet mode, and the termios now and then, see Watch) and hands
// what it finds to the machine; the application thread "app" works the port with overlapped requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "console.h"
#include "tarvel/machine/machine.h"
#include "tarvel/machine/outside_source.h"
#include "tarvel/machine/pseudo_terminal.h"
#include "tarvel/user/comm.h"

namespace tarvelcom {

struct BridgeReport {
    std::uint64_t toPort = 0;     // bytes WriteFile sent
    std::uint64_t toTerminal = 0; // bytes written to the terminal
    std::uint64_t discarded = 0;  // bytes of the program's a flush dropped before they reached the port
    std::uint64_t unheard = 0;    // bytes from the port while no program had the terminal open
    unsigned settingsApplied = 0, settingsRefused = 0;
    unsigned purgesRx = 0, purgesTx = 0;
    unsigned notifications = 0;   // TIOCPKT_IOCTL status bytes seen
    bool notifiedAtEnd = false;   // EXTPROC still set when the run ended
    DWORD writeError = 0, readError = 0; // the first failure of each kind that was not a purge's
    bool terminalFailed = false;
};

class TerminalBridge : public tarvel::machine::OutsideSource {
public:
    // port: open with FILE_FLAG_OVERLAPPED and set to the run's settings, fixed; their character size
    // and parity stay for the whole run. stopDescriptor: the run ends when it becomes readable.
    TerminalBridge(tarvel::machine::PseudoTerminal& terminal, HANDLE port, tarvel::machine::Adapter& adapter,
                   const tarvel::machine::TerminalSettings& fixed, Console& out, int stopDescriptor);
    ~TerminalBridge() override;

    // On "app": bridges until the stop descriptor fires or the terminal fails.
    BridgeReport Run();

private:
    // What the host thread hands over, in the order it saw it.
    struct Item {
        enum class Kind { Data, Settings, End } kind;
        std::vector<std::uint8_t> bytes;
        tarvel::machine::TerminalSettings settings;
    };

    // Host thread.
    void Watch(std::vector<pollfd>& fds, int& timeoutMilliseconds) override;
    bool Serve(const std::vector<pollfd>& fds) override;
    void LookAtSettings();
    void Hand(Item item);
    void HandPurge(DWORD flags);
    void LookAtOpens();

    // Emulated threads.
    void Apply(const tarvel::machine::TerminalSettings& settings);
    bool PushToTerminal();

    tarvel::machine::PseudoTerminal& terminal_;
    HANDLE port_;
    tarvel::machine::Adapter& adapter_;
    tarvel::machine::TerminalSettings fixed_;
    Console& out_;
    int stop_;
    BridgeReport report_;

    // Host thread only.
    tarvel::machine::TerminalSettings seen_;
    bool seenOpen_ = false;
    // Shared with the host thread.
    std::atomic<std::size_t> queued_{0};    // bytes taken from the terminal, not yet through WriteFile
    std::atomic<bool> wantWritable_{false}; // the terminal was full: tell the machine when it takes bytes
    std::atomic<unsigned> notifications_{0};
    // Emulated threads only (one runs at a time).
    HANDLE event_ = nullptr; // every request's and every hand-over's
    std::deque<Item> inbox_;
    DWORD purge_ = 0;        // PURGE_* flags a flush of the terminal asks for
    bool open_ = false;      // a program has the terminal open
    std::vector<std::uint8_t> toTerminal_;
};

} // namespace tarvelcom
