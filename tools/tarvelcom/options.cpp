#include "options.h"

#include <charconv>
#include <cctype>

namespace tarvelcom {

namespace {

namespace m = tarvel::machine;

template <class Number>
std::optional<Number> ParseNumber(const std::string& text, Number most) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > most) return std::nullopt;
    return static_cast<Number>(value);
}

// "16384", "16k", "1M".
std::optional<std::size_t> ParseSize(std::string text) {
    std::size_t unit = 1;
    if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) unit = 1024;
    if (!text.empty() && (text.back() == 'm' || text.back() == 'M')) unit = 1024 * 1024;
    if (unit != 1) text.pop_back();
    auto n = ParseNumber<std::size_t>(text, 64 * 1024 * 1024);
    if (!n || *n * unit == 0 || *n * unit > 64u * 1024 * 1024) return std::nullopt;
    return *n * unit;
}

// "8N1", "7E2", "8O1.5".
bool ParseLine(const std::string& text, Options& o) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') return false;
    const char parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    if (std::string("NOEMS").find(parity) == std::string::npos) return false;
    const std::string stop = text.substr(2);
    if (stop != "1" && stop != "1.5" && stop != "2") return false;
    o.line = text;
    o.dataBits = static_cast<std::uint8_t>(text[0] - '0');
    o.parity = parity;
    o.stopBits = stop;
    return true;
}

} // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasValue = true;
        }
        auto next = [&](const char* what) -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                *error = arg + " needs " + what;
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto bad = [&](const std::string& why) -> std::optional<Options> {
            *error = arg + " " + value + ": " + why;
            return std::nullopt;
        };
        auto flag = [&]() -> bool {
            if (hasValue) *error = arg + " takes no value";
            return !hasValue;
        };

        if (arg == "-h" || arg == "--help") {
            if (!flag()) return std::nullopt;
            o.help = true;
        } else if (arg == "--baud") {
            if (!next("a rate")) return std::nullopt;
            auto baud = ParseNumber<std::uint32_t>(value, 4'000'000);
            if (!baud || *baud == 0) return bad("not a baud rate");
            o.baud = *baud;
        } else if (arg == "--line") {
            if (!next("data bits, parity and stop bits, e.g. 8N1")) return std::nullopt;
            if (!ParseLine(value, o)) return bad("expected data bits 5-8, parity N/O/E/M/S, stop bits 1/1.5/2 (e.g. 8N1, 7E2)");
        } else if (arg == "--flow") {
            if (!next("none, rtscts or xonxoff")) return std::nullopt;
            if (value == "none") o.flow = Flow::None;
            else if (value == "rtscts") o.flow = Flow::RtsCts;
            else if (value == "xonxoff") o.flow = Flow::XonXoff;
            else return bad("expected none, rtscts or xonxoff");
        } else if (arg == "--size") {
            if (!next("a byte count")) return std::nullopt;
            auto size = ParseSize(value);
            if (!size) return bad("expected 1 to 64M bytes (a number, optionally with k or M)");
            o.size = *size;
        } else if (arg == "--speed") {
            if (!next("full or high")) return std::nullopt;
            if (value == "full") o.speed = tarvel::usb::Speed::Full;
            else if (value == "high") o.speed = tarvel::usb::Speed::High;
            else return bad("expected full or high");
        } else if (arg == "--endpoint-caps") {
            if (!next("a variant 0-3")) return std::nullopt;
            auto caps = ParseNumber<ULONG>(value, 3);
            if (!caps) return bad("expected 0, 1, 2 or 3");
            o.settings.push_back(m::DwordValue("EndPointCaps", *caps));
        } else if (arg == "--tx-async") {
            if (!flag()) return std::nullopt;
            o.settings.push_back(m::DwordValue("TxAsync", 1));
        } else if (arg == "--set") {
            if (!next("Name=Value")) return std::nullopt;
            std::string why;
            auto setting = m::ParseSetting(value, &why);
            if (!setting) return bad(why);
            o.settings.push_back(*setting);
        } else if (arg == "--app") {
            if (!next("exchange or pty")) return std::nullopt;
            if (value == "exchange") o.app = App::Exchange;
            else if (value == "pty") o.app = App::Pty;
            else return bad("expected exchange or pty");
        } else if (arg == "--link" || arg == "--far-link") {
            if (!next("a path")) return std::nullopt;
            if (value.empty()) return bad("expected a path");
            (arg == "--link" ? o.link : o.farLink) = value;
        } else if (arg == "--far-side") {
            if (!next("loopback, stdio, tcp[:PORT] or pty")) return std::nullopt;
            if (value == "pty") {
                o.farEnd = FarEnd::Pty;
            } else if (value == "loopback") {
                o.farEnd = FarEnd::Loopback;
            } else if (value == "stdio") {
                o.farEnd = FarEnd::Stdio;
            } else if (value == "tcp" || value.rfind("tcp:", 0) == 0) {
                o.farEnd = FarEnd::Tcp;
                if (value.size() > 4) {
                    auto port = ParseNumber<std::uint16_t>(value.substr(4), 65535);
                    if (!port) return bad("expected a TCP port number after tcp:");
                    o.tcpPort = *port;
                }
            } else {
                return bad("expected loopback, stdio, tcp[:PORT] or pty");
            }
        } else if (arg == "--wait") {
            if (!next("seconds")) return std::nullopt;
            auto seconds = ParseNumber<unsigned>(value, 3600);
            if (!seconds) return bad("expected 0 to 3600 seconds");
            o.waitSeconds = *seconds;
        } else if (arg == "--policy") {
            if (!next("sequential, random or pct[:DEPTH[:STEPS]]")) return std::nullopt;
            if (!tarvel::kernel::ParsePolicy(value, o.boot))
                return bad("expected sequential, random, pct, pct:DEPTH or pct:DEPTH:STEPS");
            o.policyGiven = true;
        } else if (arg == "--seed") {
            if (!next("a number")) return std::nullopt;
            auto seed = ParseNumber<std::uint64_t>(value, ~std::uint64_t{0});
            if (!seed) return bad("not a number");
            o.boot.seed = *seed;
            if (!o.policyGiven) o.boot.policy = tarvel::kernel::Policy::Random;
        } else if (arg == "--images") {
            if (!next("module or pe")) return std::nullopt;
            tarvel::kernel::ImageKind kind;
            if (!tarvel::kernel::ParseImageKind(value, kind)) return bad("expected module or pe");
            o.images = kind;
        } else if (arg == "--trace") {
            if (!flag()) return std::nullopt;
            o.trace = true;
        } else if (arg == "--remote-wake") {
            if (!flag()) return std::nullopt;
            o.remoteWake = true;
        } else {
            *error = "unknown argument '" + std::string(argv[i]) + "'";
            return std::nullopt;
        }
    }
    if (!o.link.empty() && o.app != App::Pty) {
        *error = "--link names the terminal of --app pty";
        return std::nullopt;
    }
    if (!o.farLink.empty() && o.farEnd != FarEnd::Pty) {
        *error = "--far-link names the terminal of --far-side pty";
        return std::nullopt;
    }
    return o;
}

std::string Usage() {
    return R"(usage: tarvelcom [options]

Boots an emulated Windows machine, plugs in an emulated USB-serial adapter, installs the tarvel driver
package on it from its INF, and shows the COM port at work: it sends a test pattern through the port,
reads it back from the far side, verifies every byte and tears everything down again. Exit status 0
when every byte came back and the teardown left nothing behind.

Line settings:
  --baud N               line rate in baud (default 115200)
  --line 8N1             data bits (5-8), parity (N, O, E, M, S), stop bits (1, 1.5, 2) (default 8N1)
  --flow MODE            none, rtscts or xonxoff (default none)
  --size N               test pattern size in bytes; k and M suffixes (default 16k)
The adapter and the drivers:
  --speed full|high      USB speed of the adapter (default full)
  --remote-wake          the adapter announces remote wake-up
  --endpoint-caps N      EndPointCaps: line-settings protocol variant 0-3 (the INF sets 1)
  --tx-async             the buffered transmitter (TxAsync=1) instead of the direct one
  --set Name=Value       any value of the device's hardware key for this run (repeatable); numbers
                         (decimal, 0x hex, negative) become REG_DWORD, other text REG_SZ.
                         Examples: --set RxPollPeriod=5 --set CtlPollPeriod=-1 --set PortName=COM7
The far side of the serial line:
  --far-side loopback    a loopback plug: what is sent comes back (default)
  --far-side stdio       standard input feeds the line, standard output gets what is sent (the
                         report then goes to standard error); another program must echo the bytes
  --far-side tcp[:PORT]  one TCP client on 127.0.0.1:PORT (any free port if none) is the far end
  --far-side pty         a pseudo-terminal: the program that opens it is the far end
  --far-link PATH        a symbolic link to the far side's terminal (e.g. ./tarvel-far)
  --wait SECONDS         how long to wait for the TCP client (default 30)
The application side:
  --app exchange         the test pattern through the COM port and back (default)
  --app pty              the COM port as a pseudo-terminal for programs outside (picocom, pyserial,
                         lrzsz, socat): its path is printed, the bridge runs until SIGINT, SIGTERM or
                         SIGHUP. Rate, stop bits, RTS/CTS and XON/XOFF follow the terminal; character
                         size and parity stay as --line sets them (a pseudo-terminal has none)
  --link PATH            a symbolic link to the terminal (e.g. ./tarvel-com3)
The machine:
  --images module|pe     which build of the drivers runs: the Linux modules (default), or the
                         Windows images tarvelpipe.sys and tarvelport.sys as shipped, mapped and
                         bound to the emulated kernel (TARVEL_IMAGES=pe does the same)
  --policy POLICY        scheduling of the emulated threads (default sequential): sequential,
                         random, or pct[:DEPTH[:STEPS]] (priorities with DEPTH - 1 change points
                         among the first STEPS switch points; default 3 and 20000)
  --seed N               seed of the random or pct policy (without --policy: random); a run
                         replays exactly with the same options and seed
  --trace                print every request between tarvelport, tarvelpipe and the USB bus with
                         its virtual time
  -h, --help             this text
)";
}

} // namespace tarvelcom
