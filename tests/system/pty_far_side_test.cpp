// The far side as a pseudo-terminal: a program that opens the terminal is the device at the other end
// of the adapter's line. It writes as a program on a serial port does, and the terminal holds it back
// the way a port's driver does: its bytes go no faster than the line carries them.
#include "system_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include "tarvel/machine/pty_line.h"

namespace systemtest {
namespace {

// A sender that writes all it can at once, as lrzsz's sz streams a file: a far side that takes bytes
// without limit lets it run arbitrarily far ahead of the line, so that it then waits (and times out)
// for answers to bytes still queued for the wire, and a retransmission from an earlier point waits
// behind all of it. The far side keeps only a few kilobytes ahead of the line; the rest waits in the
// terminal (which holds some 64 KiB of its own), and then in the sender's write.
TEST(PtyFarSide, TakesAWritersBytesOnlyAsFastAsTheLineCarriesThem) {
    std::string error;
    auto line = m::PtyLine::Open("", &error);
    ASSERT_NE(line, nullptr) << error;
    m::Machine machine;
    m::AdapterOptions options;
    options.farSideKind = m::FarSideKind::External;
    options.external = line.get();
    m::Adapter& adapter = machine.Plug(options);
    ASSERT_TRUE(adapter.Started());
    HANDLE port = OpenPort(adapter.ComName());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetLine(port, 38400)); // 3,840 bytes a second
    u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 200, 0, 0};
    ASSERT_TRUE(u::SetCommTimeouts(port, &timeouts));

    const int sender = ::open(line->Terminal().Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(sender, 0);
    std::vector<std::uint8_t> sent(48 * 1024);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    std::size_t written = 0;
    auto writeAllItTakes = [&] {
        while (written < sent.size()) {
            const ssize_t n = ::write(sender, sent.data() + written, sent.size() - written);
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
        }
    };

    // Half a second of line time: some 1,900 bytes; the sender writes whenever the terminal has room.
    std::vector<std::uint8_t> got, in(512);
    const k::VirtualTime end = k::Now() + 500 * kMs;
    while (k::Now() < end) {
        writeAllItTakes();
        Pending read;
        ASSERT_ISSUED(u::ReadFile(port, in.data(), static_cast<DWORD>(in.size()), nullptr, &read.ov));
        ASSERT_TRUE(read.Wait(port));
        got.insert(got.end(), in.begin(), in.begin() + read.bytes);
    }
    ASSERT_GT(got.size(), 1000u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin())) << "the bytes came out of order or changed";
    EXPECT_LE(line->BytesIn(), got.size() + 8192) << "the far side took " << line->BytesIn()
                                                  << " bytes while the line carried " << got.size();

    ::close(sender);
    u::CloseHandle(port);
    const auto report = machine.Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Findings().front();
}

} // namespace
} // namespace systemtest
