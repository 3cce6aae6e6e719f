// What a run of tarvelcom is asked to do, from its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tarvel/machine/machine.h"

namespace tarvelcom {

enum class Flow { None, RtsCts, XonXoff };
enum class FarEnd { Loopback, Stdio, Tcp, Pty };
// What works the COM port: the test pattern's exchange, or a program on a pseudo-terminal.
enum class App { Exchange, Pty };

struct Options {
    std::uint32_t baud = 115200;
    std::string line = "8N1";  // data bits, parity letter, stop bits
    std::uint8_t dataBits = 8;
    char parity = 'N';         // N, O, E, M, S
    std::string stopBits = "1";
    Flow flow = Flow::None;
    std::size_t size = 16 * 1024;
    tarvel::usb::Speed speed = tarvel::usb::Speed::Full;
    bool remoteWake = false;
    std::vector<tarvel::io::RegistryValue> settings; // --set, --endpoint-caps, --tx-async, in order
    App app = App::Exchange;
    std::string link;          // --app pty: a symbolic link to the terminal
    FarEnd farEnd = FarEnd::Loopback;
    std::string farLink;       // --far-side pty: a symbolic link to the far side's terminal
    std::uint16_t tcpPort = 0;   // 0: any free port
    unsigned waitSeconds = 30;   // for a TCP client to connect
    tarvel::kernel::BootOptions boot; // --policy and --seed
    std::optional<tarvel::kernel::ImageKind> images; // --images; else TARVEL_IMAGES, else the modules
    bool policyGiven = false;
    bool trace = false;
    bool help = false;
};

// nullopt with a message for people in *error when the command line is wrong.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);
std::string Usage();

} // namespace tarvelcom
