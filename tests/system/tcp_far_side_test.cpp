// The far side as a TCP client on 127.0.0.1: a client of the test program connects to the machine's
// listener and exchanges bytes with an application on COM3. Loopback only; every wait of the client is
// bounded, and the exchange ends by itself.
#include "system_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace systemtest {
namespace {

// The far end: connects, sends its greeting, and collects what comes back until it has `expect` bytes,
// the line goes quiet for a few seconds, or the connection ends.
class TcpClient {
public:
    TcpClient(std::uint16_t port, std::vector<std::uint8_t> greeting, std::size_t expect)
        : thread_([this, port, greeting = std::move(greeting), expect] { Run(port, greeting, expect); }) {}
    ~TcpClient() {
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::uint8_t> Finish() {
        thread_.join();
        return received_;
    }
    bool Connected() const { return connected_; }

private:
    void Run(std::uint16_t port, const std::vector<std::uint8_t>& greeting, std::size_t expect) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return;
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            connected_ = true;
            if (::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(greeting.size())) {
                std::uint8_t buffer[256];
                while (received_.size() < expect) {
                    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                    if (n <= 0) break;
                    received_.insert(received_.end(), buffer, buffer + n);
                }
            }
        }
        ::close(fd);
    }

    std::vector<std::uint8_t> received_;
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

TEST(TcpFarSide, ExchangesBytesWithAClientOnTheLoopbackInterface) {
    std::string error;
    auto line = m::TcpLine::Listen(0, &error);
    ASSERT_NE(line, nullptr) << error;
    ASSERT_NE(line->Port(), 0);
    m::Machine machine;
    m::AdapterOptions options;
    options.farSideKind = m::FarSideKind::External;
    options.external = line.get();
    m::Adapter& adapter = machine.Plug(options);
    ASSERT_TRUE(adapter.Started());

    // The port is open (the adapter's line switched on) before the client speaks.
    HANDLE port = OpenPort(adapter.ComName());
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetLine(port, 115200));
    u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 2000, 0, 0};
    ASSERT_TRUE(u::SetCommTimeouts(port, &timeouts));

    const auto greeting = Bytes("hello from the TCP client");
    const auto reply = Bytes("and hello back from COM3 through the adapter");
    TcpClient client(line->Port(), greeting, reply.size());
    ASSERT_TRUE(line->WaitForClient(std::chrono::seconds(5)));

    std::vector<std::uint8_t> got, in(64);
    while (got.size() < greeting.size()) {
        Pending read;
        ASSERT_ISSUED(u::ReadFile(port, in.data(), static_cast<DWORD>(in.size()), nullptr, &read.ov));
        ASSERT_TRUE(read.Wait(port));
        ASSERT_GT(read.bytes, 0u) << "the client's greeting stopped after " << got.size() << " bytes";
        got.insert(got.end(), in.begin(), in.begin() + read.bytes);
    }
    EXPECT_EQ(got, greeting);

    Pending write;
    ASSERT_ISSUED(u::WriteFile(port, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &write.ov));
    ASSERT_TRUE(write.Wait(port));
    RunFor(100 * kMs); // the bytes leave the adapter at the line rate
    EXPECT_EQ(client.Finish(), reply);
    EXPECT_EQ(line->BytesIn(), greeting.size());
    EXPECT_EQ(line->BytesOut(), reply.size());

    u::CloseHandle(port);
    const auto report = machine.Shutdown();
    EXPECT_TRUE(report.Clean()) << report.Findings().front();
}

TEST(TcpFarSide, APortInUseIsReportedNotTaken) {
    std::string error;
    auto first = m::TcpLine::Listen(0, &error);
    ASSERT_NE(first, nullptr) << error;
    auto second = m::TcpLine::Listen(first->Port(), &error);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(first->Port())), std::string::npos) << error;
}

} // namespace
} // namespace systemtest
