// An outside byte stream behind an adapter's serial line, so that another program can be the far end:
// standard input and output, or one TCP client on 127.0.0.1. Bytes the adapter transmits go out as the
// line model produces them; bytes from outside are read by a host thread and handed to the machine
// (kernel::Post), arriving at the adapter at its line rate. The reader keeps at most kLineAhead bytes
// ahead of the line, as a serial port's driver lets a writer run only so far ahead of its UART: the
// rest waits outside (in the stream, then in the writer's write). While the stream is open the kernel
// keeps virtual time in step with real time, so timeouts last as long as they say.
//
// Give it to Machine::Plug (AdapterOptions::external): the machine starts it once the adapter is plugged
// in and stops it before the kernel shuts down. It must outlive the machine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tarvel/machine/outside_source.h"
#include "usb/serial/far_sides.h"

namespace tarvel::machine {

class ExternalLine : public OutsideSource {
public:
    // Bytes taken from outside that the line has not started sending yet, at most.
    static constexpr std::size_t kLineAhead = 4096;
    ~ExternalLine() override;

    usb::FarSide& FarSide() { return peer_; }
    // Start and Stop (of OutsideSource) run on the emulated thread "app": the machine calls them.
    // Bytes that went each way so far, and whether the outside has closed its end.
    std::uint64_t BytesIn() const;
    std::uint64_t BytesOut() const;
    // The outside no longer takes the adapter's bytes (a write to it failed).
    bool OutsideClosed() const;
    virtual std::string Describe() const = 0; // "standard input and output", "TCP 127.0.0.1:5000"

protected:
    ExternalLine();
    // The reader's source of bytes; -1 when there is none yet (waiting for a TCP client).
    virtual int InputDescriptor() = 0;
    // Called by the reader when poll reports the listening socket ready; returns false to stop.
    virtual bool Accept() { return false; }
    virtual int ListenDescriptor() const { return -1; }
    // Writes bytes to the outside; false when the outside is gone.
    virtual bool WriteOut(const std::uint8_t* bytes, std::size_t length) = 0;
    // Whether the outside can take bytes yet (a TCP client has connected).
    virtual bool OutputReady() const { return true; }
    void FlushPending();

    mutable std::mutex mutex_; // state shared with the reader thread
    std::mutex writeMutex_;    // held while bytes go out, outside mutex_

private:
    void ByteFromAdapter(std::uint8_t byte);
    void FlushPendingLocked();
    void Watch(std::vector<pollfd>& fds, int& timeoutMilliseconds) override;
    bool Serve(const std::vector<pollfd>& fds) override;
    std::size_t AheadOfTheLine() const;
    void AskHowFarTheLineIs();
    void NoteHowFarTheLineIs();

    usb::StreamPeer peer_;
    bool outsideClosed_ = false;
    std::vector<std::uint8_t> pending_; // adapter bytes waiting for a client
    std::uint64_t bytesIn_ = 0, bytesOut_ = 0, dropped_ = 0;
    // Of bytesIn_: handed to the line (emulated side only), and of those started on the wire (as far as
    // the host thread knows); whether the host thread has asked for that since.
    std::uint64_t injected_ = 0;
    std::atomic<std::uint64_t> onTheWire_{0};
    std::atomic<bool> asked_{false};
    std::chrono::steady_clock::time_point lastAsked_; // host thread only
};

// Standard input feeds the line; what the adapter sends goes to standard output.
class StdioLine : public ExternalLine {
public:
    StdioLine() = default;
    std::string Describe() const override { return "standard input and output"; }

protected:
    int InputDescriptor() override { return 0; }
    bool WriteOut(const std::uint8_t* bytes, std::size_t length) override;
};

// A TCP listener on 127.0.0.1 that takes one client.
class TcpLine : public ExternalLine {
public:
    // Port 0 takes any free port. nullptr with the reason in *error if the port cannot be bound.
    static std::unique_ptr<TcpLine> Listen(std::uint16_t port, std::string* error);
    ~TcpLine() override;
    std::uint16_t Port() const { return port_; }
    bool ClientConnected() const;
    // Waits in real time until a client is connected; false after the limit. The machine stands still
    // meanwhile, so call it before the exchange starts.
    bool WaitForClient(std::chrono::milliseconds limit);
    std::string Describe() const override;

protected:
    int InputDescriptor() override;
    bool Accept() override;
    int ListenDescriptor() const override { return listen_; }
    bool WriteOut(const std::uint8_t* bytes, std::size_t length) override;
    bool OutputReady() const override { return client_ >= 0; }

private:
    TcpLine() = default;
    int listen_ = -1;
    int client_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace tarvel::machine
