#include "rig.h"

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
    far_.RaiseLines();

    const std::string path = "\\\\.\\" + adapter_->ComName();
    port_ = u::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (port_ == INVALID_HANDLE_VALUE) throw BenchError("CreateFile " + path + " failed");

    u::DCB dcb{};
    if (!u::GetCommState(port_, &dcb)) throw BenchError("GetCommState failed");
    dcb.BaudRate = options.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutxCtsFlow = options.rtsCts;
    dcb.fRtsControl = options.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
    rateAccepted_ = u::SetCommState(port_, &dcb);
    if (!rateAccepted_) {
        // The rate stays refused, but the rest of the line must still be set: ask again at a rate the
        // adapter takes, then set the UART below.
        dcb.BaudRate = 115200;
        if (!u::SetCommState(port_, &dcb)) throw BenchError("SetCommState failed even at 115200");
    }
    if (options.uartBaud != 0 || !rateAccepted_) {
        tarvel::usb::LineSettings line = Uart().Settings();
        line.baud = options.uartBaud != 0 ? options.uartBaud : options.baud;
        Uart().Configure(line);
    }
    u::COMMTIMEOUTS timeouts{};
    if (options.readMode == 1) timeouts = {kForever, 0, 0, 0, 0};
    else timeouts = {kForever, kForever, 1000, 0, 0};
    if (!u::SetCommTimeouts(port_, &timeouts)) throw BenchError("SetCommTimeouts failed");
    tarvel::kernel::RunFor(20 * tarvel::kernel::kMillisecond);  // let the port settle before measuring
}

Rig::~Rig() {
    if (port_ != INVALID_HANDLE_VALUE) {
        u::PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        u::CloseHandle(port_);
    }
    machine_->Shutdown();
}

double Rig::LineBytesPerSecond() {
    const auto& s = Uart().Settings();
    return static_cast<double>(s.baud) / s.BitsPerCharacter();
}

} // namespace tarvelbench
