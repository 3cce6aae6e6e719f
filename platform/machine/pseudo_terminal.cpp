#include "tarvel/machine/pseudo_terminal.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvel::machine {

std::string DescribeTerminalSettings(const TerminalSettings& s) {
    std::string text = std::to_string(s.baud) + " baud, " + std::to_string(s.dataBits) + s.parity +
                       std::to_string(s.stopBits);
    if (s.rtsCts) text += ", RTS/CTS";
    if (s.outX && s.inX) text += ", XON/XOFF";
    else if (s.outX) text += ", XON/XOFF obeyed";
    else if (s.inX) text += ", XON/XOFF sent";
    return text;
}

std::unique_ptr<PseudoTerminal> PseudoTerminal::Open(const std::string& linkPath, std::string* error) {
    std::unique_ptr<PseudoTerminal> pty(new PseudoTerminal);
    auto fail = [&](const std::string& what) -> std::unique_ptr<PseudoTerminal> {
        if (error) *error = what + ": " + std::strerror(errno);
        return nullptr;
    };
    pty->master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->master_ < 0) return fail("no pseudo-terminal (posix_openpt)");
    if (::grantpt(pty->master_) != 0 || ::unlockpt(pty->master_) != 0) return fail("pseudo-terminal not unlocked");
    char name[128];
    if (::ptsname_r(pty->master_, name, sizeof name) != 0) return fail("pseudo-terminal has no name");
    pty->path_ = name;
    pty->held_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->held_ < 0) return fail("cannot open " + pty->path_);
    termios raw{};
    if (::tcgetattr(pty->held_, &raw) != 0) return fail("tcgetattr " + pty->path_);
    ::cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (::tcsetattr(pty->held_, TCSANOW, &raw) != 0) return fail("tcsetattr " + pty->path_);
    const int flags = ::fcntl(pty->master_, F_GETFL);
    if (flags < 0 || ::fcntl(pty->master_, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
    pty->watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (pty->watch_ >= 0 && ::inotify_add_watch(pty->watch_, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(pty->watch_);
        pty->watch_ = -1;
    }

    if (!linkPath.empty()) {
        struct stat old{};
        if (::lstat(linkPath.c_str(), &old) == 0) {
            if (!S_ISLNK(old.st_mode)) {
                errno = EEXIST;
                return fail("will not replace " + linkPath + ", which is not a symbolic link");
            }
            ::unlink(linkPath.c_str());
        }
        if (::symlink(name, linkPath.c_str()) != 0) return fail("cannot link " + linkPath);
        pty->link_ = linkPath;
    }
    return pty;
}

PseudoTerminal::~PseudoTerminal() {
    if (!link_.empty()) {
        // Only our own link: another run may have taken the name meanwhile.
        char target[256];
        const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path_) ::unlink(link_.c_str());
    }
    if (watch_ >= 0) ::close(watch_);
    if (held_ >= 0) ::close(held_);
    if (master_ >= 0) ::close(master_);
}

// An open description counts once, however many descriptors share it: its close is reported when the
// last of them goes.
void PseudoTerminal::TakeOpens() {
    if (watch_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(watch_, buffer, sizeof buffer);
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_Q_OVERFLOW) { // the count is lost: from now on, always open
                ::close(watch_);
                watch_ = -1;
                return;
            }
            if (event->mask & IN_OPEN) ++opens_;
            if ((event->mask & IN_CLOSE) && opens_ > 0) --opens_;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void PseudoTerminal::DropInput() { ::tcflush(held_, TCIFLUSH); }

bool PseudoTerminal::EnablePacketMode() {
    int on = 1;
    if (::ioctl(master_, TIOCPKT, &on) != 0) return false;
    termios t{};
    if (::tcgetattr(held_, &t) != 0) return false;
    t.c_lflag |= EXTPROC;
    return ::tcsetattr(held_, TCSANOW, &t) == 0;
}

bool PseudoTerminal::SettingsNotified() const {
    termios t{};
    return ::tcgetattr(held_, &t) == 0 && (t.c_lflag & EXTPROC) != 0;
}

std::string PseudoTerminal::Describe() const { return link_.empty() ? path_ : path_ + " (link " + link_ + ")"; }

} // namespace tarvel::machine
