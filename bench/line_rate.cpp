// Line rate held: both directions at once at a serial rate, no flow control, the application writing and
// reading in the chunk sizes a terminal or a data logger uses. Every byte is accounted for afterwards.
#include "scenarios.h"
#include "traffic.h"

namespace tarvelbench {

namespace k = tarvel::kernel;

namespace {

std::vector<Figure> Run(std::uint32_t baud, std::vector<std::string> settings, const std::string& label, bool smoke) {
    RigOptions ro;
    ro.baud = baud;
    ro.settings = settings;
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

    const std::string base = "linerate." + std::to_string(baud) + label + ".";
    std::string described = Describe(ro.settings) + ", write 256, read 1024";
    if (!rig.RateAccepted()) described += ", rate refused by SetCommState: UART set on the model";
    std::vector<Figure> f;
    f.push_back({base + "tx.share", 100.0 * r.toFar / (line * r.seconds), "%", described, "application to far side"});
    f.push_back({base + "rx.share", 100.0 * r.toApp / (line * r.seconds), "%", described, "far side to application"});
    f.push_back({base + "lost.fifo", static_cast<double>(r.fifoOverruns), "bytes", "adapter receive FIFO overruns", ""});
    f.push_back({base + "lost.driver", static_cast<double>(r.lostInDriver + r.lostToFar), "bytes",
                 "in the stack, either direction", r.corrupted ? "sequence broken" : ""});
    return f;
}

} // namespace

std::vector<Scenario> LineRateScenarios() {
    std::vector<Scenario> list;
    for (std::uint32_t baud : {9600u, 19200u, 38400u, 57600u, 115200u, 230400u, 460800u, 921600u}) {
        std::vector<std::string> settings;
        if (baud > 115200) settings.push_back("NoBaudCheck=1");
        list.push_back({"linerate." + std::to_string(baud),
                        "line rate held at " + std::to_string(baud) + " baud, both directions",
                        [baud, settings](bool smoke) { return Run(baud, settings, "", smoke); }});
    }
    // The defaults fall short at 921600 (one 64-byte bulk-in segment per frame is 64,000 B/s); the
    // receive segment and request sizes that fix it, and the buffered transmitter on top.
    const std::vector<std::string> fix = {"NoBaudCheck=1", "RxReqSize=4096", "EP1_SegmentSize=4096"};
    list.push_back({"linerate.921600.segments", "line rate held at 921600 baud with 4096-byte bulk-in reads and segments",
                    [fix](bool smoke) { return Run(921600, fix, ".segments", smoke); }});
    std::vector<std::string> fixAsync = fix;
    fixAsync.push_back("TxAsync=1");
    list.push_back({"linerate.921600.segments_txasync", "as linerate.921600.segments, buffered transmitter",
                    [fixAsync](bool smoke) { return Run(921600, fixAsync, ".segments_txasync", smoke); }});
    return list;
}

} // namespace tarvelbench
