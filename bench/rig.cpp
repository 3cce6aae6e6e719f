#include "rig.h"

#include "pipeioctl.h"

namespace tarvelbench {

namespace m = tarvel::machine;
namespace u = tarvel::user;
constexpr DWORD kForever = 0xFFFFFFFFu;

std::string Describe(const std::vector<std::string>& settings) {
    if (settings.empty()) return "INF defaults";
    std::string text;
    for (const std::string& s : settings) text += (text.empty() ? "" : ", ") + s;
    return text;
}

Rig::Rig(const RigOptions& options) : options_(options) {
    machine_ = std::make_unique<m::Machine>();
    m::AdapterOptions adapterOptions;
    adapterOptions.device = options.device;
    adapterOptions.functionDriverOnly = options.pipeDirect;
    adapterOptions.speed = options.speed;
    adapterOptions.farSideKind = m::FarSideKind::Custom;
    adapterOptions.farSide = &far_;
    for (const std::string& text : options.settings) {
        std::string error;
        auto value = m::ParseSetting(text, &error);
        if (!value) throw BenchError(error);
        adapterOptions.settings.push_back(*value);
    }
    adapter_ = &machine_->Plug(adapterOptions);
    if (!adapter_->Started()) throw BenchError("the package did not install on the adapter");
    if (!Fast()) far_.RaiseLines();
    if (options.pipeDirect) OpenPipes();
    else OpenPort();
    tarvel::kernel::RunFor(20 * tarvel::kernel::kMillisecond);  // let the port settle before measuring
}

void Rig::OpenPipes() {
    const auto paths = u::EnumerateDeviceInterfaces(GUID_DEVINTERFACE_USB_PIPES);
    if (paths.size() != 1) throw BenchError("the pipe driver's interface is not there");
    auto open = [&](const char* pipe) {
        HANDLE h = u::CreateFileA((paths[0] + pipe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) throw BenchError(std::string("CreateFile on the pipe ") + pipe + " failed");
        return h;
    };
    writePipe_ = open("\\PIPE00");
    readPipe_ = open("\\PIPE01");
    // Port enable (vendor command 3, on): the 8-byte setup packet, then its two payload bytes.
    const UCHAR enable[10] = {0x40, 0x0B, 0, 0, 0, 0, 2, 0, 3, 1};
    DWORD returned = 0;
    u::OVERLAPPED ov{};
    ov.hEvent = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const bool sent = u::DeviceIoControl(writePipe_, IOCTL_PIPE_CONTROL_TRANSFER, const_cast<UCHAR*>(enable), sizeof enable,
                                         nullptr, 0, &returned, &ov) ||
                      u::GetLastError() == ERROR_IO_PENDING;
    const bool done = sent && u::GetOverlappedResult(writePipe_, &ov, &returned, TRUE);
    u::CloseHandle(ov.hEvent);
    if (!done) throw BenchError("the port-enable command through the pipe failed");
}

void Rig::OpenPort() {
    const std::string path = "\\\\.\\" + adapter_->ComName();
    port_ = u::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) throw BenchError("CreateFile " + path + " failed");

    u::DCB dcb{};
    if (!u::GetCommState(port_, &dcb)) throw BenchError("GetCommState failed");
    dcb.BaudRate = options_.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = options_.rtsCts;
    dcb.fRtsControl = options_.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
    rateAccepted_ = u::SetCommState(port_, &dcb);
    if (!rateAccepted_) {
        // The rate stays refused, but the rest of the line must still be set: ask again at a rate the
        // adapter takes, then set the UART below.
        dcb.BaudRate = 115200;
        if (!u::SetCommState(port_, &dcb)) throw BenchError("SetCommState failed even at 115200");
    }
    if (!Fast() && (options_.uartBaud != 0 || !rateAccepted_)) {
        tarvel::usb::LineSettings line = Uart().Settings();
        line.baud = options_.uartBaud != 0 ? options_.uartBaud : options_.baud;
        Uart().Configure(line);
    }
    u::COMMTIMEOUTS timeouts{};
    if (options_.readMode == 1) timeouts = {kForever, 0, 0, 0, 0};
    else timeouts = {kForever, kForever, 1000, 0, 0};
    if (!u::SetCommTimeouts(port_, &timeouts)) throw BenchError("SetCommTimeouts failed");
}

Rig::~Rig() {
    if (port_ != INVALID_HANDLE_VALUE) {
        u::PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        u::CloseHandle(port_);
    }
    for (HANDLE pipe : {writePipe_, readPipe_})
        if (pipe != INVALID_HANDLE_VALUE) u::CloseHandle(pipe);
    machine_->Shutdown();
}

void Rig::FeedFar(std::size_t depth) {
    if (!Fast()) far_.KeepQueued(depth);
    else if (!feeding_) {
        adapter_->Stream().ProduceForHost(std::nullopt);
        feeding_ = true;
    }
}

void Rig::StopFeeding() {
    // One byte more: a short packet ends the bulk-in transfer under way, as a bridge's does when its
    // source pauses; a transfer left between two full packets would wait for data for ever.
    if (Fast() && feeding_) adapter_->Stream().ProduceForHost(1);
    feeding_ = false;
}

std::uint64_t Rig::FarArrived() { return Fast() ? adapter_->Stream().Consumed() : far_.Arrived(); }
std::uint64_t Rig::FarOutOfOrder() { return Fast() ? adapter_->Stream().OutOfOrder() : far_.OutOfOrder(); }
std::uint64_t Rig::FarSent() { return Fast() ? adapter_->Stream().Produced() : far_.Queued(); }
std::uint64_t Rig::DeviceTook() { return Fast() ? adapter_->Stream().Produced() : Uart().Counters().received; }
std::uint64_t Rig::StillInDevice() { return Fast() ? 0 : Uart().RxAvailable(); }
std::uint64_t Rig::DeviceOverruns() { return Fast() ? 0 : Uart().Counters().overruns; }

double Rig::LineBytesPerSecond() {
    const auto& s = Uart().Settings();
    return static_cast<double>(s.baud) / s.BitsPerCharacter();
}

} // namespace tarvelbench
