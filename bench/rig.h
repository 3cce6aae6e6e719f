// One benchmark run's machine: boot, plug an adapter in with the far end of far_end.h on its line,
// install the package with some hardware-key values changed, open the COM port overlapped and set the
// line up as the run asks.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "far_end.h"
#include "tarvel/machine/machine.h"
#include "tarvel/user/comm.h"
#include "tarvel/user/errors.h"
#include "tarvel/user/files.h"
#include "tarvel/user/sync.h"

namespace tarvelbench {

struct RigOptions {
    // The USB-serial adapter (a UART and the far end of far_end.h) or the fast device (a sequence far
    // side that keeps up with the bus).
    tarvel::machine::DeviceKind device = tarvel::machine::DeviceKind::SerialAdapter;
    // The pipe driver alone, its bulk pipes opened by name through its interface ("\PIPE00" to write,
    // "\PIPE01" to read) instead of the COM port.
    bool pipeDirect = false;
    tarvel::usb::Speed speed = tarvel::usb::Speed::Full;
    std::vector<std::string> settings;  // "Name=Value" hardware-key values over the INF's
    std::uint32_t baud = 115200;        // asked of the port with SetCommState
    // Nonzero: the adapter's UART is then set to this rate directly (the adapter protocol carries only
    // a few rates), as an adapter that runs faster would be.
    std::uint32_t uartBaud = 0;
    bool rtsCts = false;                // hardware flow control on the line
    // Read timeouts: 1 returns at once with what is there, 2 waits for the first byte.
    int readMode = 2;
};

class Rig {
public:
    explicit Rig(const RigOptions& options);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    HANDLE Port() const { return port_; }
    // Where the application writes and reads: the COM port, or the two pipes.
    HANDLE Writer() const { return options_.pipeDirect ? writePipe_ : port_; }
    HANDLE Reader() const { return options_.pipeDirect ? readPipe_ : port_; }
    FarEnd& Far() { return far_; }
    tarvel::usb::Uart& Uart() { return adapter_->Model().Line(); }
    bool Fast() const { return options_.device == tarvel::machine::DeviceKind::Fast; }

    // The far side, whichever device: keep it sending towards the application (the adapter's far
    // transmitter with `depth` bytes queued, the fast device's stream without end), or stop it.
    void FeedFar(std::size_t depth);
    void StopFeeding();
    std::uint64_t FarArrived();    // bytes that reached the far side
    std::uint64_t FarOutOfOrder();
    std::uint64_t FarSent();       // bytes the far side sent (queued on the adapter's line)
    std::uint64_t DeviceTook();    // bytes that entered the device towards the host (the adapter's FIFO)
    std::uint64_t StillInDevice(); // of those, not yet taken by the host
    std::uint64_t DeviceOverruns();
    // Whether SetCommState took the rate (false: the port or the adapter refused it).
    bool RateAccepted() const { return rateAccepted_; }
    // Line rate in bytes per second of the UART as it runs.
    double LineBytesPerSecond();
    const RigOptions& Options() const { return options_; }

private:
    RigOptions options_;
    FarEnd far_;
    std::unique_ptr<tarvel::machine::Machine> machine_;
    tarvel::machine::Adapter* adapter_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE writePipe_ = INVALID_HANDLE_VALUE, readPipe_ = INVALID_HANDLE_VALUE;
    bool rateAccepted_ = false;
    bool feeding_ = false;

    void OpenPort();
    void OpenPipes();
};

struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "NoBaudCheck=1, TxAsync=1" or "INF defaults".
std::string Describe(const std::vector<std::string>& settings);

} // namespace tarvelbench
