// Line rate held: both directions at once at a serial rate, no flow control, the application writing and
// reading in the chunk sizes a terminal or a data logger uses. Every byte is accounted for afterwards.
#include "scenarios.h"
#include "traffic.h"

namespace tarvelbench {

namespace k = tarvel::kernel;

namespace {

std::vector<Figure> Run(std::uint32_t baud, bool noBaudCheck, bool smoke) {
    RigOptions ro;
    ro.baud = baud;
    if (noBaudCheck) ro.settings = {"NoBaudCheck=1"};
    Rig rig(ro);
    const double line = rig.LineBytesPerSecond();
    TrafficOptions to;
    to.send = to.receive = true;
    to.writeChunk = 256;
    to.readChunk = 1024;
    to.writeDepth = 1;
    to.readDepth = 1;
    to.window = smoke ? 200 * k::kMillisecond : 60 * k::kSecond;
    to.farDepth = static_cast<std::size_t>(line / 10) + 64;
    const TrafficResult r = RunTraffic(rig, to);

    const std::string base = "linerate." + std::to_string(baud) + ".";
    std::string settings = Describe(ro.settings) + ", write 256, read 1024";
    if (!rig.RateAccepted()) settings += ", rate refused by SetCommState: UART set on the model";
    std::vector<Figure> f;
    f.push_back({base + "tx.share", 100.0 * r.toFar / (line * r.seconds), "%", settings, "application to far side"});
    f.push_back({base + "rx.share", 100.0 * r.toApp / (line * r.seconds), "%", settings, "far side to application"});
    f.push_back({base + "lost.fifo", static_cast<double>(r.fifoOverruns), "bytes", "adapter receive FIFO overruns", ""});
    f.push_back({base + "lost.driver", static_cast<double>(r.lostInDriver + r.lostToFar), "bytes",
                 "in the stack, either direction", r.corrupted ? "sequence broken" : ""});
    return f;
}

} // namespace

std::vector<Scenario> LineRateScenarios() {
    std::vector<Scenario> list;
    for (std::uint32_t baud : {9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u}) {
        const bool noCheck = baud > 115200;
        list.push_back({"linerate." + std::to_string(baud),
                        "line rate held at " + std::to_string(baud) + " baud, both directions",
                        [baud, noCheck](bool smoke) { return Run(baud, noCheck, smoke); }});
    }
    return list;
}

} // namespace tarvelbench
