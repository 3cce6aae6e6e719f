// The pseudo-terminal under the bridge and the pty far side: links, the settings a termios carries, and
// what Linux's pseudo-terminal keeps of them.
#include "tarvel/machine/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

namespace m = tarvel::machine;
namespace fs = std::filesystem;

struct TempFolder {
    fs::path path;
    TempFolder() {
        char name[] = "/tmp/tarvel-pty-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempFolder() { fs::remove_all(path); }
};

// What a program does when it opens the terminal as its port.
struct Program {
    int fd;
    explicit Program(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {}
    ~Program() {
        if (fd >= 0) ::close(fd);
    }
};

TEST(PseudoTerminal, LinkPointsAtTheTerminalAndGoesWithIt) {
    TempFolder folder;
    const std::string link = (folder.path / "com3").string();
    {
        std::string error;
        auto pty = m::PseudoTerminal::Open(link, &error);
        ASSERT_NE(pty, nullptr) << error;
        EXPECT_EQ(fs::read_symlink(link).string(), pty->Path());
        EXPECT_EQ(pty->Describe(), pty->Path() + " (link " + link + ")");
        Program program(link);
        ASSERT_GE(program.fd, 0);
        ASSERT_EQ(::write(program.fd, "abc", 3), 3);
        char got[8] = {};
        EXPECT_EQ(::read(pty->Master(), got, sizeof got), 3); // raw from the start: no line to wait for
        EXPECT_STREQ(got, "abc");
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(PseudoTerminal, ReplacesAStaleLinkButNoOtherFile) {
    TempFolder folder;
    const std::string link = (folder.path / "com3").string();
    fs::create_symlink("/dev/pts/does-not-exist", link);
    std::string error;
    auto pty = m::PseudoTerminal::Open(link, &error);
    ASSERT_NE(pty, nullptr) << error;
    EXPECT_EQ(fs::read_symlink(link).string(), pty->Path());

    const std::string file = (folder.path / "notes.txt").string();
    std::ofstream(file) << "keep me";
    EXPECT_EQ(m::PseudoTerminal::Open(file, &error), nullptr);
    EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
    std::string kept;
    std::getline(std::ifstream(file), kept);
    EXPECT_EQ(kept, "keep me");
}

// Another run that took the name meanwhile keeps its link.
TEST(PseudoTerminal, LeavesALinkThatIsNoLongerItsOwn) {
    TempFolder folder;
    const std::string link = (folder.path / "com3").string();
    std::string error;
    auto first = m::PseudoTerminal::Open(link, &error);
    auto second = m::PseudoTerminal::Open(link, &error);
    ASSERT_NE(second, nullptr) << error;
    first.reset();
    EXPECT_EQ(fs::read_symlink(link).string(), second->Path());
}

// The rate as a number, also one without a Bnnn constant; stop bits, flow control and the XON/XOFF
// characters as the program set them. Character size and parity: Linux's pseudo-terminal keeps 8
// bits and no parity whatever is asked, which is why the bridge does not take them from the terminal.
TEST(PseudoTerminal, SettingsATerminalCarries) {
    std::string error;
    auto pty = m::PseudoTerminal::Open("", &error);
    ASSERT_NE(pty, nullptr) << error;
    Program program(pty->Path());
    m::TerminalSettings wanted;
    wanted.baud = 250000;
    wanted.stopBits = 2;
    wanted.rtsCts = true;
    wanted.outX = true;
    wanted.inX = false;
    wanted.xonChar = 0x01;
    wanted.xoffChar = 0x02;
    wanted.dataBits = 7;
    wanted.parity = 'E';
    ASSERT_TRUE(m::WriteTerminalSettings(program.fd, wanted));
    m::TerminalSettings seen;
    ASSERT_TRUE(m::ReadTerminalSettings(pty->Master(), &seen)); // the master sees the terminal's
    EXPECT_EQ(seen.baud, 250000u);
    EXPECT_EQ(seen.stopBits, 2);
    EXPECT_TRUE(seen.rtsCts);
    EXPECT_TRUE(seen.outX);
    EXPECT_FALSE(seen.inX);
    EXPECT_EQ(seen.xonChar, 0x01);
    EXPECT_EQ(seen.xoffChar, 0x02);
    EXPECT_EQ(seen.dataBits, 8);
    EXPECT_EQ(seen.parity, 'N');
    EXPECT_EQ(m::DescribeTerminalSettings(seen), "250000 baud, 8N2, RTS/CTS, XON/XOFF obeyed");

    termios t{};
    ASSERT_EQ(::tcgetattr(program.fd, &t), 0);
    ::cfsetospeed(&t, B9600);
    ::cfsetispeed(&t, B9600);
    ASSERT_EQ(::tcsetattr(program.fd, TCSANOW, &t), 0);
    ASSERT_TRUE(m::ReadTerminalSettings(pty->Master(), &seen));
    EXPECT_EQ(seen.baud, 9600u);
}

// Settings stay when the program closes the terminal, and the master sees no hang-up, so the next
// program (or the same one again) finds the port as it was left.
TEST(PseudoTerminal, OutlivesTheProgramThatOpensIt) {
    std::string error;
    auto pty = m::PseudoTerminal::Open("", &error);
    ASSERT_NE(pty, nullptr) << error;
    m::TerminalSettings wanted;
    wanted.baud = 38400;
    {
        Program program(pty->Path());
        ASSERT_TRUE(m::WriteTerminalSettings(program.fd, wanted));
    }
    char byte;
    EXPECT_EQ(::read(pty->Master(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN); // not EIO
    Program next(pty->Path());
    m::TerminalSettings seen;
    ASSERT_TRUE(m::ReadTerminalSettings(next.fd, &seen));
    EXPECT_EQ(seen.baud, 38400u);
}

// Packet mode: a flush of either queue and a settings change each arrive as a status byte of their own.
TEST(PseudoTerminal, PacketModeReportsFlushesAndSettingsChanges) {
    std::string error;
    auto pty = m::PseudoTerminal::Open("", &error);
    ASSERT_NE(pty, nullptr) << error;
    ASSERT_TRUE(pty->EnablePacketMode());
    EXPECT_TRUE(pty->SettingsNotified());
    Program program(pty->Path());
    auto status = [&] {
        unsigned char byte[2] = {};
        return ::read(pty->Master(), byte, sizeof byte) == 1 ? byte[0] : 0xFF;
    };
    (void)status(); // whatever enabling left
    ASSERT_EQ(::tcflush(program.fd, TCIFLUSH), 0);
    EXPECT_EQ(status(), TIOCPKT_FLUSHREAD);
    ASSERT_EQ(::tcflush(program.fd, TCOFLUSH), 0);
    EXPECT_EQ(status(), TIOCPKT_FLUSHWRITE);
    m::TerminalSettings wanted;
    wanted.baud = 19200;
    ASSERT_TRUE(m::WriteTerminalSettings(program.fd, wanted));
    EXPECT_EQ(status() & TIOCPKT_IOCTL, TIOCPKT_IOCTL);

    // A program that clears the whole c_lflag takes the notifications away (the bridge then reads the
    // termios on its own).
    termios t{};
    ASSERT_EQ(::tcgetattr(program.fd, &t), 0);
    t.c_lflag = 0;
    ASSERT_EQ(::tcsetattr(program.fd, TCSANOW, &t), 0);
    EXPECT_FALSE(pty->SettingsNotified());
}

// Why a ZMODEM session over a terminal may end with the receiver waiting for the sender's last bytes:
// lrzsz's sz ends with write("OO"), tcdrain, tcflush(TCIOFLUSH). On a serial port the drain waits until
// the bytes are on the wire, so the flush finds nothing. A pseudo-terminal's drain returns at once,
// while the bytes are still on their way to the master (the kernel moves them later, from a work
// queue), and the flush then drops them: nothing the master's reader does can be sooner. Here the
// master takes nothing at all, so the drain plainly does not wait for it, and what the master had no
// room for is gone after the flush.
TEST(PseudoTerminal, ADrainDoesNotWaitForTheMasterAndAFlushDropsWhatItHasNotTaken) {
    std::string error;
    auto pty = m::PseudoTerminal::Open("", &error);
    ASSERT_NE(pty, nullptr) << error;
    Program program(pty->Path());
    ASSERT_GE(program.fd, 0);
    // More than the master's own buffer holds (4 KiB), less than what a write may leave on the way.
    const std::string bytes(8192, 'z');
    ASSERT_EQ(::write(program.fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(::tcdrain(program.fd), 0);
    pollfd master{pty->Master(), POLLIN, 0};
    ASSERT_EQ(::poll(&master, 1, 5000), 1) << "the drain returned and the bytes still wait for the master";

    ASSERT_EQ(::tcflush(program.fd, TCOFLUSH), 0);
    std::size_t got = 0;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pty->Master(), buffer, sizeof buffer)) > 0;) got += static_cast<std::size_t>(n);
    EXPECT_GT(got, 0u);
    EXPECT_LT(got, bytes.size()) << "the flush dropped nothing the master had not read";
}

// Whether a program has the terminal open, from its opens and closes: a serial port receives nothing
// while closed, and the bridge keeps it so, rather than hand the next program what an earlier session
// left (a ZMODEM receiver that finds the last session's ZFIN ends at once).
TEST(PseudoTerminal, TellsWhetherAProgramHasItOpen) {
    std::string error;
    auto pty = m::PseudoTerminal::Open("", &error);
    ASSERT_NE(pty, nullptr) << error;
    ASSERT_GE(pty->OpensWatch(), 0);
    auto settle = [&] {
        pollfd watch{pty->OpensWatch(), POLLIN, 0};
        while (::poll(&watch, 1, 0) == 1) pty->TakeOpens();
        return pty->ProgramHasItOpen();
    };
    EXPECT_FALSE(settle()) << "our own descriptor counts as a program";
    {
        Program first(pty->Path());
        EXPECT_TRUE(settle());
        {
            Program second(pty->Path());
            const int shared = ::dup(second.fd); // one open, however many descriptors share it
            EXPECT_TRUE(settle());
            ::close(shared);
        }
        EXPECT_TRUE(settle()) << "the first program still has it";
    }
    EXPECT_FALSE(settle());

    // What came while nobody had it open can be dropped before the next program opens it.
    ASSERT_EQ(::write(pty->Master(), "stale", 5), 5);
    pty->DropInput();
    Program next(pty->Path());
    ::fcntl(next.fd, F_SETFL, O_NONBLOCK);
    char byte;
    EXPECT_EQ(::read(next.fd, &byte, 1), -1);
}

} // namespace
