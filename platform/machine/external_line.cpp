// The reader thread, the hand-over of bytes into the machine and the two kinds of outside.
#include "tarvel/machine/external_line.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <algorithm>

#include "tarvel/kernel.h"

namespace tarvel::machine {

namespace {

constexpr std::size_t kPendingLimit = 1 << 20; // adapter bytes kept for a client that has not come yet
constexpr int kAskMilliseconds = 5;            // how often the line's progress is asked for while it is behind

bool WriteAll(int fd, const std::uint8_t* bytes, std::size_t length, bool socket) {
    while (length > 0) {
        const ssize_t n = socket ? ::send(fd, bytes, length, MSG_NOSIGNAL) : ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::condition_variable& ClientArrived() {
    static std::condition_variable arrived;
    return arrived;
}

} // namespace

ExternalLine::ExternalLine() : peer_([this](std::uint8_t byte) { ByteFromAdapter(byte); }) {}

ExternalLine::~ExternalLine() { Stop(); }

std::uint64_t ExternalLine::BytesIn() const {
    std::lock_guard lock(mutex_);
    return bytesIn_;
}

std::uint64_t ExternalLine::BytesOut() const {
    std::lock_guard lock(mutex_);
    return bytesOut_;
}

bool ExternalLine::OutsideClosed() const {
    std::lock_guard lock(mutex_);
    return outsideClosed_;
}

// On an emulated thread, as the line model produces the byte.
// The write lock keeps bytes in the adapter's order when a client arrives while bytes are waiting.
void ExternalLine::ByteFromAdapter(std::uint8_t byte) {
    std::lock_guard write(writeMutex_);
    {
        std::lock_guard lock(mutex_);
        if (outsideClosed_) return;
        if (!OutputReady()) {
            if (pending_.size() < kPendingLimit) pending_.push_back(byte);
            else ++dropped_;
            return;
        }
    }
    FlushPendingLocked();
    const bool written = WriteOut(&byte, 1);
    std::lock_guard lock(mutex_);
    if (written) ++bytesOut_;
    else outsideClosed_ = true; // the reader of our bytes has gone: drop what follows
}

void ExternalLine::FlushPending() {
    std::lock_guard write(writeMutex_);
    FlushPendingLocked();
}

void ExternalLine::FlushPendingLocked() {
    std::vector<std::uint8_t> bytes;
    {
        std::lock_guard lock(mutex_);
        bytes.swap(pending_);
    }
    if (!bytes.empty() && WriteOut(bytes.data(), bytes.size())) {
        std::lock_guard lock(mutex_);
        bytesOut_ += bytes.size();
    }
}

std::size_t ExternalLine::AheadOfTheLine() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(bytesIn_ - onTheWire_);
}

// The line's progress is known on the emulated side only; the host thread asks for it while it holds
// the outside back, a few times in each kilobyte's line time at any rate worth having.
void ExternalLine::AskHowFarTheLineIs() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastAsked_ < std::chrono::milliseconds(kAskMilliseconds) || asked_.exchange(true)) return;
    lastAsked_ = now;
    kernel::Post([this] { NoteHowFarTheLineIs(); });
}

void ExternalLine::NoteHowFarTheLineIs() {
    onTheWire_ = injected_ - peer_.PendingToSend();
    asked_ = false;
    Wake();
}

void ExternalLine::Watch(std::vector<pollfd>& fds, int& timeoutMilliseconds) {
    const int input = InputDescriptor();
    if (input < 0) {
        fds.push_back({ListenDescriptor(), POLLIN, 0});
        return;
    }
    const bool full = AheadOfTheLine() >= kLineAhead;
    fds.push_back({input, static_cast<short>(full ? 0 : POLLIN), 0});
    if (full) timeoutMilliseconds = kAskMilliseconds;
}

// The outside's bytes arrive at the adapter at its line rate. The outside may still take bytes after
// it has nothing more to send (standard output after the end of standard input).
bool ExternalLine::Serve(const std::vector<pollfd>& fds) {
    const int input = InputDescriptor();
    if (input < 0) return fds[0].revents == 0 || Accept();
    const std::size_t ahead = AheadOfTheLine();
    if (ahead >= kLineAhead) {
        AskHowFarTheLineIs();
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return true;
    }
    if (fds[0].revents == 0) return true;
    std::uint8_t buffer[4096];
    const std::size_t room = std::min(sizeof buffer, kLineAhead - std::min(ahead, kLineAhead));
    const ssize_t n = ::read(input, buffer, std::max<std::size_t>(room, 1));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    std::vector<std::uint8_t> bytes(buffer, buffer + n);
    {
        std::lock_guard lock(mutex_);
        bytesIn_ += bytes.size();
    }
    kernel::Post([this, bytes = std::move(bytes)] {
        peer_.Inject(bytes);
        injected_ += bytes.size();
        onTheWire_ = injected_ - peer_.PendingToSend();
    });
    return true;
}

bool StdioLine::WriteOut(const std::uint8_t* bytes, std::size_t length) { return WriteAll(1, bytes, length, false); }

std::unique_ptr<TcpLine> TcpLine::Listen(std::uint16_t port, std::string* error) {
    std::unique_ptr<TcpLine> line(new TcpLine);
    line->listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto fail = [&](const std::string& what) -> std::unique_ptr<TcpLine> {
        if (error) *error = what + ": " + std::strerror(errno);
        return nullptr;
    };
    if (line->listen_ < 0) return fail("socket");
    const int yes = 1;
    ::setsockopt(line->listen_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // the loopback interface only
    if (::bind(line->listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail("cannot listen on 127.0.0.1:" + std::to_string(port));
    if (::listen(line->listen_, 1) != 0) return fail("listen");
    socklen_t size = sizeof address;
    ::getsockname(line->listen_, reinterpret_cast<sockaddr*>(&address), &size);
    line->port_ = ntohs(address.sin_port);
    return line;
}

TcpLine::~TcpLine() {
    Stop();
    std::lock_guard lock(mutex_);
    if (client_ >= 0) ::close(client_);
    if (listen_ >= 0) ::close(listen_);
    client_ = listen_ = -1;
}

std::string TcpLine::Describe() const { return "TCP 127.0.0.1:" + std::to_string(port_); }

bool TcpLine::ClientConnected() const {
    std::lock_guard lock(mutex_);
    return client_ >= 0;
}

bool TcpLine::WaitForClient(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return ClientArrived().wait_for(lock, limit, [this] { return client_ >= 0; });
}

int TcpLine::InputDescriptor() {
    std::lock_guard lock(mutex_);
    return client_;
}

bool TcpLine::Accept() {
    const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return errno == EINTR || errno == EAGAIN;
    {
        std::lock_guard lock(mutex_);
        client_ = client;
    }
    ClientArrived().notify_all();
    FlushPending();
    return true;
}

bool TcpLine::WriteOut(const std::uint8_t* bytes, std::size_t length) {
    int fd;
    {
        std::lock_guard lock(mutex_);
        fd = client_;
    }
    return fd >= 0 && WriteAll(fd, bytes, length, true);
}

} // namespace tarvel::machine
