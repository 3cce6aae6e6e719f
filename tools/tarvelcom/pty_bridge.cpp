#include "pty_bridge.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "overlapped_slot.h"
#include "show.h"

namespace tarvelcom {

namespace k = tarvel::kernel;
namespace m = tarvel::machine;
namespace u = tarvel::user;

namespace {

// Bytes taken from the terminal ahead of the port: beyond this the program's writes wait in the
// terminal, and then in its write call, as they would on a port that is busy.
constexpr std::size_t kQueueLimit = 2048;
constexpr std::size_t kReadChunk = 4096;
// How often the termios is read when no notification comes (a program that cleared EXTPROC).
constexpr int kSettingsPollMilliseconds = 20;
// A read returns with the first bytes there are, or after this long with none.
constexpr DWORD kReadWaitMilliseconds = 1000;

// The settings the terminal can carry, onto the ones the run fixed.
m::TerminalSettings Carried(m::TerminalSettings terminal, const m::TerminalSettings& fixed) {
    terminal.dataBits = fixed.dataBits;
    terminal.parity = fixed.parity;
    if (!terminal.outX && !terminal.inX) { // the characters mean nothing then; the port keeps its own
        terminal.xonChar = fixed.xonChar;
        terminal.xoffChar = fixed.xoffChar;
    }
    return terminal;
}

std::string PurgeName(DWORD flags) {
    std::string text;
    for (auto [bit, name] : {std::pair{PURGE_TXABORT, "TXABORT"}, {PURGE_TXCLEAR, "TXCLEAR"},
                             {PURGE_RXABORT, "RXABORT"}, {PURGE_RXCLEAR, "RXCLEAR"}})
        if (flags & static_cast<DWORD>(bit)) text += (text.empty() ? "" : " | ") + std::string(name);
    return "PurgeComm(" + text + ")";
}

using Slot = OverlappedSlot;

} // namespace

TerminalBridge::TerminalBridge(m::PseudoTerminal& terminal, HANDLE port, m::Adapter& adapter,
                               const m::TerminalSettings& fixed, Console& out, int stopDescriptor)
    : terminal_(terminal), port_(port), adapter_(adapter), fixed_(fixed), out_(out), stop_(stopDescriptor),
      seen_(fixed) {}

TerminalBridge::~TerminalBridge() { Stop(); }

// ---- The host thread ----------------------------------------------------------------------------------

// The terminal is read only while the port keeps up; its status bytes wait meanwhile, and the termios
// is looked at every few milliseconds whatever comes.
void TerminalBridge::Watch(std::vector<pollfd>& fds, int& timeoutMilliseconds) {
    fds.push_back({stop_, POLLIN, 0});
    short events = 0;
    if (queued_ < kQueueLimit) events |= POLLIN;
    if (wantWritable_) events |= POLLOUT;
    fds.push_back({terminal_.Master(), events, 0});
    fds.push_back({terminal_.OpensWatch(), POLLIN, 0}); // -1 is left alone by poll
    timeoutMilliseconds = kSettingsPollMilliseconds;
}

void TerminalBridge::LookAtOpens() {
    terminal_.TakeOpens();
    const bool open = terminal_.ProgramHasItOpen();
    if (open == seenOpen_) return;
    seenOpen_ = open;
    k::Post([this, open] {
        open_ = open;
        if (open) return;
        // What came since the last program closed it, and what is on its way, nobody asked for.
        report_.unheard += toTerminal_.size();
        toTerminal_.clear();
        terminal_.DropInput();
    });
}

bool TerminalBridge::Serve(const std::vector<pollfd>& fds) {
    if (fds[0].revents != 0) {
        Hand({Item::Kind::End, {}, {}});
        return false;
    }
    // Settings first: a program that sets its port up and then writes has its bytes go at the new ones.
    LookAtSettings();
    LookAtOpens();
    const short revents = fds[1].revents;
    if ((revents & POLLOUT) && wantWritable_.exchange(false)) k::Post([this] { u::SetEvent(event_); });
    if (revents & POLLIN) {
        std::uint8_t buffer[1 + kReadChunk];
        const std::size_t room = kQueueLimit - std::min(kQueueLimit, queued_.load());
        const ssize_t n = ::read(terminal_.Master(), buffer, 1 + std::min(room, kReadChunk));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) {
            report_.terminalFailed = true;
            Hand({Item::Kind::End, {}, {}});
            return false;
        }
        if (buffer[0] == TIOCPKT_DATA) {
            if (n > 1) {
                queued_ += static_cast<std::size_t>(n - 1);
                Hand({Item::Kind::Data, std::vector<std::uint8_t>(buffer + 1, buffer + n), {}});
            }
        } else {
            // tcflush(TCIFLUSH) by the program drops what it has not read yet: so do the port's queue and
            // what is on its way to the terminal. TCOFLUSH drops what the port has not sent yet.
            DWORD flags = 0;
            if (buffer[0] & TIOCPKT_FLUSHREAD) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
            if (buffer[0] & TIOCPKT_FLUSHWRITE) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
            if (flags) HandPurge(flags);
            if (buffer[0] & TIOCPKT_IOCTL) {
                ++notifications_;
                LookAtSettings();
            }
        }
    } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Not while we hold the terminal's end; if it happens anyway, the terminal is gone.
        report_.terminalFailed = true;
        Hand({Item::Kind::End, {}, {}});
        return false;
    }
    return true;
}

void TerminalBridge::LookAtSettings() {
    m::TerminalSettings now;
    if (!m::ReadTerminalSettings(terminal_.Master(), &now)) return;
    now = Carried(now, fixed_);
    if (now == seen_) return;
    seen_ = now;
    Hand({Item::Kind::Settings, {}, now});
}

void TerminalBridge::Hand(Item item) {
    k::Post([this, item = std::move(item)]() mutable {
        inbox_.push_back(std::move(item));
        u::SetEvent(event_);
    });
}

// A flush does not wait behind the bytes it drops.
void TerminalBridge::HandPurge(DWORD flags) {
    k::Post([this, flags] {
        if (flags & PURGE_TXCLEAR) {
            for (auto it = inbox_.begin(); it != inbox_.end();) {
                if (it->kind != Item::Kind::Data) {
                    ++it;
                    continue;
                }
                queued_ -= it->bytes.size();
                report_.discarded += it->bytes.size();
                it = inbox_.erase(it);
            }
            Wake();
        }
        purge_ |= flags;
        u::SetEvent(event_);
    });
}

// ---- The machine's side --------------------------------------------------------------------------------

// Like a program's tcsetattr(TCSADRAIN): what the program wrote before goes out at the old settings.
void TerminalBridge::Apply(const m::TerminalSettings& s) {
    u::FlushFileBuffers(port_);
    u::DCB dcb{};
    const std::string wanted = m::DescribeTerminalSettings(s);
    if (!u::GetCommState(port_, &dcb)) {
        out_.Row("settings", wanted + " from the terminal: GetCommState failed, " + ErrorText(u::GetLastError()));
        ++report_.settingsRefused;
        return;
    }
    dcb.BaudRate = s.baud;
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = s.rtsCts;
    dcb.fRtsControl = s.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = s.outX;
    dcb.fInX = s.inX;
    dcb.XonChar = static_cast<char>(s.xonChar);
    dcb.XoffChar = static_cast<char>(s.xoffChar);
    if (!u::SetCommState(port_, &dcb)) {
        out_.Row("settings", wanted + " from the terminal: REFUSED, " + ErrorText(u::GetLastError()));
        ++report_.settingsRefused;
        return;
    }
    ++report_.settingsApplied;
    out_.Row("settings", wanted + " from the terminal; the adapter's UART: " + DescribeUart(adapter_));
}

// Non-blocking: what the terminal cannot take now waits, and no more is read from the port meanwhile.
bool TerminalBridge::PushToTerminal() {
    const ssize_t n = ::write(terminal_.Master(), toTerminal_.data(), toTerminal_.size());
    if (n > 0) {
        report_.toTerminal += static_cast<std::uint64_t>(n);
        toTerminal_.erase(toTerminal_.begin(), toTerminal_.begin() + n);
        return true;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        report_.terminalFailed = true;
        toTerminal_.clear();
        return true;
    }
    wantWritable_ = true;
    Wake();
    return false;
}

BridgeReport TerminalBridge::Run() {
    event_ = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, kReadWaitMilliseconds, 0, 0};
    u::SetCommTimeouts(port_, &timeouts);
    Start();

    Slot read, write;
    std::vector<std::uint8_t> in(kReadChunk), writing;
    bool ended = false;
    DWORD ignored = 0;
    while (!ended) {
        u::ResetEvent(event_); // before looking, so nothing that completes meanwhile is missed
        bool moved = false;
        if (write.Done()) {
            moved = true;
            DWORD error = 0;
            report_.toPort += write.Result(port_, &error);
            if (error && error != ERROR_OPERATION_ABORTED && !report_.writeError) report_.writeError = error;
            queued_ -= writing.size();
            writing.clear();
            Wake();
        }
        if (read.Done()) {
            moved = true;
            DWORD error = 0;
            const DWORD bytes = read.Result(port_, &error);
            if (error && error != ERROR_OPERATION_ABORTED && !report_.readError) report_.readError = error;
            // A read a flush ended gives nothing: its bytes went with the flush. What comes while no
            // program has the terminal open, nobody hears.
            if (error != ERROR_OPERATION_ABORTED) {
                if (open_) toTerminal_.insert(toTerminal_.end(), in.begin(), in.begin() + bytes);
                else report_.unheard += bytes;
            }
        }
        if (purge_) {
            const DWORD flags = std::exchange(purge_, 0);
            if (flags & PURGE_RXCLEAR) toTerminal_.clear();
            u::PurgeComm(port_, flags);
            if (flags & PURGE_RXCLEAR) ++report_.purgesRx;
            if (flags & PURGE_TXCLEAR) ++report_.purgesTx;
            out_.Row("flush", std::string(flags & PURGE_RXCLEAR ? "of the terminal's input" : "") +
                                  ((flags & PURGE_RXCLEAR) && (flags & PURGE_TXCLEAR) ? " and output" :
                                   flags & PURGE_TXCLEAR ? "of the terminal's output" : "") +
                                  ": " + PurgeName(flags));
            moved = true;
        }
        if (!toTerminal_.empty()) moved |= PushToTerminal();
        // The program's bytes and settings in the order it made them; a settings change waits for the
        // write before it.
        while (!inbox_.empty() && !write.busy && !ended) {
            Item item = std::move(inbox_.front());
            inbox_.pop_front();
            moved = true;
            if (item.kind == Item::Kind::End) {
                ended = true;
            } else if (item.kind == Item::Kind::Settings) {
                Apply(item.settings);
            } else {
                writing = std::move(item.bytes);
                write.Prepare(event_);
                DWORD error = 0;
                if (!write.Sent(u::WriteFile(port_, writing.data(), static_cast<DWORD>(writing.size()), &ignored,
                                             &write.ov),
                                &error)) {
                    if (!report_.writeError) report_.writeError = error;
                    queued_ -= writing.size();
                    writing.clear();
                }
            }
        }
        if (!ended && !inbox_.empty() && inbox_.front().kind == Item::Kind::End) ended = true;
        if (ended) break;
        if (!read.busy && toTerminal_.empty()) {
            read.Prepare(event_);
            DWORD error = 0;
            if (!read.Sent(u::ReadFile(port_, in.data(), kReadChunk, &ignored, &read.ov), &error)) {
                if (!report_.readError) report_.readError = error;
                ended = true; // a port that refuses reads has nothing more to give
            }
            moved = true;
        }
        if (!moved) u::WaitForSingleObject(event_, INFINITE);
    }

    report_.notifiedAtEnd = terminal_.SettingsNotified();
    Stop();
    if (read.busy || write.busy) u::CancelIo(port_);
    DWORD bytes = 0;
    for (Slot* slot : {&read, &write})
        if (slot->busy) u::GetOverlappedResult(port_, &slot->ov, &bytes, TRUE);
    // A request's status block is written before its event is signalled; let completions under way end.
    k::RunUntilIdle();
    u::CloseHandle(event_);
    report_.notifications = notifications_;
    return report_;
}

} // namespace tarvelcom
