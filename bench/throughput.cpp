// Bus throughput: the UART far faster than the bus (set on the adapter's model directly, with RTS/CTS
// so that the far transmitter waits for the FIFO), so that the stack and the bus set the pace.
#include <cstdio>

#include "scenarios.h"
#include "traffic.h"

namespace tarvelbench {

namespace k = tarvel::kernel;
using tarvel::usb::Speed;

double BulkBudget(Speed speed) { return speed == Speed::High ? 53'248'000.0 : 1'216'000.0; }
double FramesPerSecond(Speed speed) { return speed == Speed::High ? 8000.0 : 1000.0; }
const char* SpeedName(Speed speed) { return speed == Speed::High ? "high" : "full"; }

namespace {

struct Candidate {
    std::string label;
    std::vector<std::string> settings;
    DWORD chunk;  // application write or read size
};

std::vector<Candidate> Candidates(Speed speed, bool receive) {
    const std::string big = speed == Speed::High ? "65536" : "16384";
    const std::string packet = speed == Speed::High ? "512" : "64";
    if (receive)
        return {
            {"defaults", {}, 4096},
            // The drivers' own receive sizes (the INF sets 4096): a bulk-in read of one packet.
            {"packet", {"RxReqSize=0", "EP1_SegmentSize=" + packet}, 4096},
            {"seg_big", {"RxReqSize=" + big, "EP1_SegmentSize=" + big, "MaximumTransferSize=" + big}, 16384},
        };
    return {
        {"defaults", {}, 4096},
        {"txasync", {"TxAsync=1"}, 4096},
        {"txasync_kick2k", {"TxAsync=1", "TxKickThreshold=2048"}, 4096},
        {"seg_big", {"EP1_SegmentSize=" + big, "MaximumTransferSize=" + big}, 16384},
    };
}

// What holds a figure down, judged from the bytes moved per (micro)frame.
std::string LimitOf(Speed speed, double rate, std::size_t fifo) {
    const double perFrame = rate / FramesPerSecond(speed);
    const double packet = speed == Speed::High ? 512 : 64;
    char text[200];
    if (rate >= 0.9 * BulkBudget(speed)) {
        std::snprintf(text, sizeof text, "%.0f B/frame: the bus's bulk budget", perFrame);
    } else if (perFrame >= 0.98 * (fifo - 32) && perFrame <= 1.02 * (fifo - 32)) {
        // RTS drops 32 bytes before the FIFO is full, so the far side stops there; the host then reads
        // that much and a short packet ends each bulk-in transfer.
        std::snprintf(text, sizeof text, "%.0f B/frame: the adapter's %zu-byte FIFO up to its RTS threshold (32 bytes short of full), one load per frame",
                      perFrame, fifo);
    } else if (perFrame >= 0.85 * fifo && perFrame <= 1.05 * fifo) {
        // The adapter model fills and drains its FIFO between (micro)frames, not within one.
        std::snprintf(text, sizeof text, "%.0f B/frame: the adapter's %zu-byte FIFO (one FIFO load per frame%s)", perFrame,
                      fifo, perFrame < 0.98 * fifo ? ", a frame lost between transfers" : "");
    } else if (perFrame <= 1.05 * packet) {
        std::snprintf(text, sizeof text, "%.0f B/frame: one %0.f-byte packet per frame (one segment per frame)", perFrame, packet);
    } else {
        std::snprintf(text, sizeof text, "%.0f B/frame: turnaround between transfers", perFrame);
    }
    return text;
}

std::vector<Figure> Run(Speed speed, bool receive, bool smoke) {
    std::vector<Figure> figures;
    const std::string base = std::string("throughput.") + SpeedName(speed) + (receive ? ".rx." : ".tx.");
    double best = -1;
    Figure bestFigure;
    double cpu = 0, moved = 0;
    for (const Candidate& c : Candidates(speed, receive)) {
        if (!CandidateSelected(c.label, smoke)) continue;
        RigOptions ro;
        ro.speed = speed;
        ro.settings = c.settings;
        ro.uartBaud = speed == Speed::High ? 1'000'000'000u : 50'000'000u;  // 100 MB/s and 5 MB/s of line
        ro.rtsCts = true;
        Rig rig(ro);
        TrafficOptions to;
        to.send = !receive;
        to.receive = receive;
        to.writeChunk = to.readChunk = c.chunk;
        to.readDepth = 2;
        to.window = smoke ? 30 * k::kMillisecond : speed == Speed::High ? 200 * k::kMillisecond : k::kSecond;
        to.farDepth = speed == Speed::High ? 1 << 20 : 1 << 16;
        const TrafficResult r = RunTraffic(rig, to);
        const double bytes = static_cast<double>(receive ? r.toApp : r.toFar);
        const double rate = bytes / r.seconds;
        const std::size_t fifo = receive ? rig.Uart().RxFifoSize() : rig.Uart().TxFifoSize();
        Figure f{base + c.label + ".bytes_per_s", rate, "B/s", Describe(c.settings) + ", chunk " + std::to_string(c.chunk),
                 LimitOf(speed, rate, fifo)};
        if (r.corrupted || r.lostInDriver || r.lostToFar) f.limit += " [DATA LOST OR OUT OF ORDER]";
        figures.push_back(f);
        figures.push_back({base + c.label + ".share", 100.0 * rate / BulkBudget(speed), "%", "of the bulk budget", ""});
        if (rate > best) {
            best = rate;
            bestFigure = f;
        }
        cpu += r.cpuSeconds;
        moved += bytes;
    }
    if (!smoke) {
        figures.push_back({base + "best.bytes_per_s", best, "B/s", bestFigure.settings, bestFigure.limit});
        figures.push_back({base + "best.share", 100.0 * best / BulkBudget(speed), "%", "of the bulk budget", ""});
    }
    figures.push_back({"host." + std::string(SpeedName(speed)) + (receive ? ".rx" : ".tx") + ".mb_per_cpu_s",
                       cpu > 0 ? moved / 1e6 / cpu : 0, "MB/cpu-s", "payload per host CPU second (real, build-dependent)", ""});
    return figures;
}

} // namespace

std::vector<Scenario> ThroughputScenarios() {
    std::vector<Scenario> list;
    for (Speed speed : {Speed::Full, Speed::High})
        for (bool receive : {false, true})
            list.push_back({std::string("throughput.") + SpeedName(speed) + (receive ? ".rx" : ".tx"),
                            std::string("bus throughput, ") + SpeedName(speed) + " speed, " +
                                (receive ? "far side to application" : "application to far side"),
                            [speed, receive](bool smoke) { return Run(speed, receive, smoke); }});
    return list;
}

} // namespace tarvelbench
