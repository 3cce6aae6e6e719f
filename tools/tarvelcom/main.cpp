// tarvelcom: the tarvel driver pair at work on an emulated machine, as a person would want to see it.
//
// Boot, plug the adapter in, install the package from its INF, show what was built, open the COM port
// as an application does, send a test pattern to the far side and read it back, report what moved and
// how fast in virtual time, unplug, and check that nothing was left behind.
#include <ntddk.h>
#include <ntddser.h>

#include <cstdio>
#include <limits>
#include <memory>

#include "console.h"
#include "exchange.h"
#include "options.h"
#include "pty_bridge.h"
#include "show.h"
#include "stop_signal.h"
#include "tarvel/machine/external_line.h"
#include "tarvel/machine/pty_line.h"
#include "tarvel/machine/machine.h"
#include "tarvel/machine/request_names.h"

namespace tarvelcom {
namespace {

namespace k = tarvel::kernel;
namespace m = tarvel::machine;
namespace u = tarvel::user;

constexpr DWORD kQuietMilliseconds = 1000; // the far side has nothing more to send after this long

std::string ParityName(char parity) {
    switch (parity) {
    case 'O': return "odd parity";
    case 'E': return "even parity";
    case 'M': return "mark parity";
    case 'S': return "space parity";
    default: return "no parity";
    }
}

std::string FlowName(Flow flow) {
    switch (flow) {
    case Flow::RtsCts: return "RTS/CTS flow control";
    case Flow::XonXoff: return "XON/XOFF flow control";
    default: return "no flow control";
    }
}

std::string EventName(DWORD bit) {
    switch (bit) {
    case EV_RXCHAR: return "EV_RXCHAR";
    case EV_RXFLAG: return "EV_RXFLAG";
    case EV_TXEMPTY: return "EV_TXEMPTY";
    case EV_CTS: return "EV_CTS";
    case EV_DSR: return "EV_DSR";
    case EV_RLSD: return "EV_RLSD";
    case EV_BREAK: return "EV_BREAK";
    case EV_ERR: return "EV_ERR";
    case EV_RING: return "EV_RING";
    case EV_RX80FULL: return "EV_RX80FULL";
    default: return m::Hex(bit, 4);
    }
}

std::string OnOff(bool on) { return on ? "on" : "off"; }

// The line settings the options ask for, onto the port's current state; the error if the port refuses.
bool ConfigurePort(Console& out, HANDLE port, const Options& o, m::Adapter& adapter) {
    u::DCB dcb{};
    if (!u::GetCommState(port, &dcb)) {
        out.Row("line settings", "GetCommState failed: " + ErrorText(u::GetLastError()));
        return false;
    }
    const std::string mode = Format("%u,%c,%u,%s", o.baud, o.parity, o.dataBits, o.stopBits.c_str());
    u::BuildCommDCBA(mode.c_str(), &dcb); // validated with the options
    dcb.fOutxCtsFlow = o.flow == Flow::RtsCts;
    dcb.fRtsControl = o.flow == Flow::RtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = o.flow == Flow::XonXoff;
    if (o.flow == Flow::XonXoff) { // the port starts with every special character 0
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
    }
    const std::string wanted = Format("%u baud, %u data bits, %s, %s stop bit%s, %s", o.baud, o.dataBits,
                                      ParityName(o.parity).c_str(), o.stopBits.c_str(), o.stopBits == "1" ? "" : "s",
                                      FlowName(o.flow).c_str());
    if (!u::SetCommState(port, &dcb)) {
        const DWORD error = u::GetLastError();
        out.Row("line settings", wanted + ": REFUSED, " + ErrorText(error));
        out.Line("  The port driver takes 600 to 115200 baud from its list (NoBaudCheck=1 lifts the check) and 7 or");
        out.Line("  8 data bits, 1 or 2 stop bits, no, odd or even parity. EndPointCaps %lu is in force; variants 1",
                 static_cast<unsigned long>(HardwareKeyDword(adapter, "EndPointCaps", 0)));
        out.Line("  and 2 carry only 9600, 19200, 38400 and 115200 baud to the adapter, variant 3 the whole list.");
        return false;
    }
    out.Row("line settings", wanted);
    out.Row("the adapter's UART", DescribeUart(adapter));
    return true;
}

void ShowResults(Console& out, const Options& o, const ExchangeResult& r, m::Adapter& adapter) {
    if (r.AllBack(o.size)) {
        out.Row("result", "all " + std::to_string(o.size) + " bytes came back, in order and intact");
    } else {
        out.Row("result", Format("sent %zu of %zu bytes, %zu came back", r.sent, o.size, r.received));
        if (r.firstMismatch) out.Row("first difference", "at byte " + std::to_string(*r.firstMismatch));
        if (r.writeError) out.Row("write failed", ErrorText(r.writeError));
        if (r.readError) out.Row("read failed", ErrorText(r.readError));
    }
    const double seconds = static_cast<double>(r.finished - r.started) / k::kSecond;
    const auto& uart = adapter.Model().Line().Settings();
    const double lineRate = uart.baud / static_cast<double>(uart.BitsPerCharacter());
    out.Row("virtual time", Format("%.3f s from the first write to the last byte back", seconds));
    if (seconds > 0 && r.received > 0) {
        const double rate = static_cast<double>(r.received) / seconds;
        out.Row("throughput", Format("%.0f bytes/s = %.1f%% of the line rate (%.0f bytes/s at %u baud, %u bits a "
                                     "character)",
                                     rate, 100.0 * rate / lineRate, lineRate, uart.baud, uart.BitsPerCharacter()));
    }
}

void ShowLinesAndStatistics(Console& out, HANDLE port, const ExchangeResult& r, m::Adapter& adapter) {
    out.Section("Modem lines");
    DWORD modem = 0;
    if (u::GetCommModemStatus(port, &modem)) {
        out.Row("inputs (GetCommModemStatus)",
                "CTS " + OnOff(modem & MS_CTS_ON) + ", DSR " + OnOff(modem & MS_DSR_ON) + ", DCD " +
                    OnOff(modem & MS_RLSD_ON) + ", RING " + OnOff(modem & MS_RING_ON));
    } else {
        out.Row("inputs", "GetCommModemStatus failed: " + ErrorText(u::GetLastError()));
    }
    const auto lines = adapter.Model().Line().Outputs();
    out.Row("outputs (the adapter)", "RTS " + OnOff(lines.rts) + ", DTR " + OnOff(lines.dtr) + ", break " + OnOff(lines.breakOn));

    out.Section("Events (WaitCommEvent)");
    std::string events;
    for (const auto& [bit, count] : r.events) events += (events.empty() ? "" : ", ") + EventName(bit) + " " + Plural(count, "time", "times");
    out.Row("seen", events.empty() ? "none" : events);
    if (r.events.count(EV_RXFLAG) != 0) {
        u::DCB dcb{};
        if (u::GetCommState(port, &dcb))
            out.Line("  (EV_RXFLAG: the event character is %s, which the pattern contains)",
                     m::Hex(static_cast<unsigned char>(dcb.EvtChar), 2).c_str());
    }

    out.Section("Statistics");
    SERIALPERF_STATS stats{};
    DWORD bytes = 0;
    u::OVERLAPPED ov{};
    if (u::DeviceIoControl(port, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, &bytes, &ov) ||
        (u::GetLastError() == ERROR_IO_PENDING && u::GetOverlappedResult(port, &ov, &bytes, TRUE))) {
        out.Row("port (GET_STATS)", Format("received %u, transmitted %u, errors: framing %u, overrun %u, "
                                           "buffer overrun %u, parity %u",
                                           stats.ReceivedCount, stats.TransmittedCount, stats.FrameErrorCount,
                                           stats.SerialOverrunErrorCount, stats.BufferOverrunErrorCount,
                                           stats.ParityErrorCount));
        if (HardwareKeyDword(adapter, "TxAsync", 0) == 0)
            out.Line("  (the direct transmitter does not count transmitted bytes; --tx-async does)");
    }
    DWORD errors = 0;
    u::COMSTAT stat{};
    if (u::ClearCommError(port, &errors, &stat))
        out.Row("queues (ClearCommError)", Format("%u bytes in, %u bytes out, errors %s", stat.cbInQue, stat.cbOutQue,
                                                   errors ? m::Hex(errors, 2).c_str() : "none"));
    const auto uart = adapter.Model().Line().Counters();
    out.Row("the adapter's UART", Format("transmitted %llu, received %llu, overruns %llu, errors %llu",
                                         static_cast<unsigned long long>(uart.transmitted),
                                         static_cast<unsigned long long>(uart.received),
                                         static_cast<unsigned long long>(uart.overruns),
                                         static_cast<unsigned long long>(uart.errors)));
    if (adapter.BusPort() != nullptr)
        out.Row("USB", Format("%llu (micro)frames run by the host controller",
                              static_cast<unsigned long long>(tarvel::usb::FramesRun(adapter.BusPort()))));
    const auto machine = k::MachineStatistics();
    out.Row("machine", Format("%llu thread switches, %llu DPCs, %llu timer expiries, %.3f s of virtual time",
                              static_cast<unsigned long long>(machine.threadSwitches),
                              static_cast<unsigned long long>(machine.dpcsRun),
                              static_cast<unsigned long long>(machine.timerExpiries),
                              static_cast<double>(k::Now()) / k::kSecond));
}

// The run's settings as a terminal describes them.
m::TerminalSettings RunSettings(const Options& o) {
    m::TerminalSettings s;
    s.baud = o.baud;
    s.dataBits = o.dataBits;
    s.parity = o.parity;
    s.stopBits = o.stopBits == "2" ? 2 : 1;
    s.rtsCts = o.flow == Flow::RtsCts;
    s.outX = s.inX = o.flow == Flow::XonXoff;
    return s;
}

// --app pty: the open, configured port behind a pseudo-terminal until a stop signal. False if the
// terminal could not be had or the port failed on the way.
bool BridgeToTerminal(Console& out, HANDLE port, const Options& o, m::Adapter& adapter) {
    out.Section("The COM port as a pseudo-terminal");
    std::string error;
    auto terminal = m::PseudoTerminal::Open(o.link, &error);
    if (!terminal) {
        out.Row("terminal", "FAILED: " + error);
        return false;
    }
    const m::TerminalSettings fixed = RunSettings(o);
    m::WriteTerminalSettings(terminal->Master(), fixed);
    const bool notified = terminal->EnablePacketMode();
    out.Row("terminal", terminal->Describe());
    out.Row("settings watched", notified ? "packet mode: the terminal reports flushes and settings changes (EXTPROC); "
                                           "the termios is also read every 20 ms"
                                         : "by reading the termios every 20 ms (no packet mode)");
    out.Row("carried", "rate, stop bits, RTS/CTS, XON/XOFF and their characters, tcflush");
    out.Row("fixed for the run", Format("%u data bits, %s (a pseudo-terminal keeps 8 bits, no parity); modem lines, "
                                        "break", o.dataBits, ParityName(o.parity).c_str()));
    out.Line("Bridge ready: point your program at %s; stop with Ctrl-C or SIGTERM.",
             (o.link.empty() ? terminal->Path() : o.link).c_str());

    TerminalBridge bridge(*terminal, port, adapter, fixed, out, StopSignalDescriptor());
    const BridgeReport r = bridge.Run();

    out.Section("Bridge stopped");
    out.Row("terminal to port", Plural(r.toPort, "byte", "bytes") + " through WriteFile" +
                                    (r.discarded ? ", " + Plural(r.discarded, "byte", "bytes") + " dropped by flushes" : ""));
    out.Row("port to terminal", Plural(r.toTerminal, "byte", "bytes") + " from ReadFile" +
                                    (r.unheard ? ", " + Plural(r.unheard, "byte", "bytes") +
                                                     " dropped while no program had the terminal open"
                                               : ""));
    out.Row("settings changes", Format("%u applied, %u refused", r.settingsApplied, r.settingsRefused));
    out.Row("flushes", Format("%u of the input, %u of the output", r.purgesRx, r.purgesTx));
    out.Row("notifications", Format("%u settings changes reported by the terminal; EXTPROC %s at the end%s",
                                    r.notifications, r.notifiedAtEnd ? "still set" : "cleared by the program",
                                    r.notifiedAtEnd ? "" : " (changes were then found by reading the termios)"));
    out.Row("virtual time", Format("%.3f s since boot", static_cast<double>(k::Now()) / k::kSecond));
    if (r.writeError) out.Row("write failed", ErrorText(r.writeError));
    if (r.readError) out.Row("read failed", ErrorText(r.readError));
    if (r.terminalFailed) out.Row("terminal", "FAILED: the terminal stopped taking or giving bytes");
    return !r.writeError && !r.readError && !r.terminalFailed;
}

int Run(const Options& o) {
    Console out(o.farEnd == FarEnd::Stdio ? stderr : stdout);
    out.Line("tarvelcom: the tarvel USB serial driver pair on an emulated Windows machine");

    // The outside stream must outlive the machine, which starts and stops it.
    std::unique_ptr<m::ExternalLine> external;
    m::TcpLine* tcp = nullptr;
    m::PtyLine* farPty = nullptr;
    if (o.farEnd == FarEnd::Pty) {
        std::string error;
        auto line = m::PtyLine::Open(o.farLink, &error);
        if (!line) {
            out.Line("tarvelcom: %s", error.c_str());
            return 1;
        }
        farPty = line.get();
        external = std::move(line);
    } else if (o.farEnd == FarEnd::Stdio) {
        external = std::make_unique<m::StdioLine>();
    } else if (o.farEnd == FarEnd::Tcp) {
        std::string error;
        auto line = m::TcpLine::Listen(o.tcpPort, &error);
        if (!line) {
            out.Line("tarvelcom: %s", error.c_str());
            return 1;
        }
        tcp = line.get();
        external = std::move(line);
    }

    if (o.images) k::SetImageKind(*o.images);
    m::MachineOptions machineOptions;
    machineOptions.boot = o.boot;
    // The bridge runs as long as people want it; virtual time follows real time meanwhile.
    if (o.app == App::Pty) machineOptions.boot.timeBudget = std::numeric_limits<k::VirtualTime>::max() / 2;
    if (o.trace)
        machineOptions.requestTrace = [&out](const m::TracedRequest& r) { out.Line("%s", m::FormatTracedRequest(r).c_str()); };
    m::Machine machine(machineOptions);
    out.Row("machine", k::CurrentPolicy() != k::Policy::Sequential
                           ? Format("booted, %s policy, seed %llu (the same options and seed replay this run)",
                                    k::PolicyText().c_str(), static_cast<unsigned long long>(k::CurrentSeed()))
                           : std::string("booted, sequential policy"));
    out.Row("drivers", k::CurrentImageKind() == k::ImageKind::Pe
                           ? std::string("the Windows images (tarvelpipe.sys, tarvelport.sys), as shipped")
                           : std::string("the Linux modules (tarvelpipe.so, tarvelport.so)"));

    out.Section("Plugging in the adapter");
    m::AdapterOptions adapterOptions;
    adapterOptions.speed = o.speed;
    adapterOptions.remoteWakeup = o.remoteWake;
    adapterOptions.settings = o.settings;
    if (external) {
        adapterOptions.farSideKind = m::FarSideKind::External;
        adapterOptions.external = external.get();
    }
    m::Adapter& adapter = machine.Plug(adapterOptions);
    out.Row("adapter", Format("USB-serial adapter, %s speed, VID 1209 PID 0001%s, far side: %s",
                              o.speed == tarvel::usb::Speed::High ? "high" : "full", o.remoteWake ? ", remote wake-up" : "",
                              external ? external->Describe().c_str() : "loopback plug"));
    ShowInstall(out, machine, adapter, o);
    if (!adapter.Started()) {
        ShowTeardown(out, machine.Shutdown());
        out.Line("\nResult: FAILED, the package did not install.");
        return 1;
    }
    ShowStack(out, adapter);
    ShowPortNames(out, adapter);

    if (tcp != nullptr) {
        out.Section("Far side");
        out.Row("waiting", Format("for a client on 127.0.0.1:%u (up to %u s)", tcp->Port(), o.waitSeconds));
        if (!tcp->WaitForClient(std::chrono::seconds(o.waitSeconds))) {
            out.Row("client", "none came");
            machine.Unplug(adapter);
            ShowTeardown(out, machine.Shutdown());
            out.Line("\nResult: FAILED, no client connected to the far side.");
            return 1;
        }
        out.Row("client", "connected");
    }

    out.Section("Opening " + adapter.ComName());
    const std::string path = "\\\\.\\" + adapter.ComName();
    HANDLE port = u::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    ExchangeResult result;
    bool exchanged = false, bridged = false;
    if (port == INVALID_HANDLE_VALUE) {
        out.Row("CreateFile", "FAILED: " + ErrorText(u::GetLastError()));
    } else if (o.app == App::Pty) {
        if (ConfigurePort(out, port, o, adapter)) {
            u::EscapeCommFunction(port, SETDTR); // an open port, as a program on a real one has it (RTS follows the flow control)
            bridged = BridgeToTerminal(out, port, o, adapter);
            if (farPty != nullptr && farPty->DroppedBytes() > 0)
                out.Row("far side", Plural(farPty->DroppedBytes(), "byte", "bytes") +
                                        " lost: no program read the far side's terminal");
        }
    } else if (ConfigurePort(out, port, o, adapter)) {
        u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, kQuietMilliseconds / 2, 0, 0}; // return with the first bytes
        u::SetCommTimeouts(port, &timeouts);
        u::SetCommMask(port, kWatchedEvents);
        out.Section(Format("Sending %zu bytes to the far side (%s) and reading them back", o.size,
                           external ? external->Describe().c_str() : "loopback plug"));
        const auto pattern = TestPattern(o.size, o.flow == Flow::XonXoff);
        result = Exchange(port, pattern, kQuietMilliseconds, [&out](std::size_t done, std::size_t total) {
            out.Progress(done, total);
        });
        exchanged = true;
        ShowResults(out, o, result, adapter);
        ShowLinesAndStatistics(out, port, result, adapter);
    }
    if (port != INVALID_HANDLE_VALUE) u::CloseHandle(port);

    out.Section("Unplugging the adapter");
    machine.Unplug(adapter);
    const bool removed = ShowRemoval(out, adapter);
    const m::TeardownReport report = machine.Shutdown();
    ShowTeardown(out, report);

    const bool clean = removed && report.Clean();
    if (o.app == App::Pty) {
        if (bridged && clean) {
            out.Line("\nResult: PASS, the bridge ran and the teardown was clean.");
            return 0;
        }
        out.Line("\nResult: FAILED, %s%s%s.", bridged ? "" : "the bridge failed", !bridged && !clean ? " and " : "",
                 clean ? "" : "the teardown left something behind");
        return 1;
    }
    const bool allBack = exchanged && result.AllBack(o.size);
    if (allBack && clean) {
        out.Line("\nResult: PASS, every byte came back and the teardown was clean.");
        return 0;
    }
    const std::string transfer = port == INVALID_HANDLE_VALUE ? "the port did not open"
                                 : !exchanged                 ? "the port refused the line settings"
                                                              : "not every byte came back";
    out.Line("\nResult: FAILED, %s%s%s.", allBack ? "" : transfer.c_str(), !allBack && !clean ? " and " : "",
             clean ? "" : "the teardown left something behind");
    return 1;
}

} // namespace
} // namespace tarvelcom

int main(int argc, char** argv) {
    std::string error;
    const auto options = tarvelcom::ParseOptions(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "tarvelcom: %s\n\n%s", error.c_str(), tarvelcom::Usage().c_str());
        return 2;
    }
    if (options->help) {
        std::fputs(tarvelcom::Usage().c_str(), stdout);
        return 0;
    }
    try {
        return tarvelcom::Run(*options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvelcom: %s\n", e.what());
        return 1;
    }
}
