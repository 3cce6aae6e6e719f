// Throughput with a device that keeps up (the fast device of usb/serial/fast_device.h): the bus and
// the drivers set the pace, nothing else. Each direction, full and high speed, through the COM port and
// through the pipe driver's pipes opened by name, with the INF defaults and with other settings.
#include <cmath>
#include <cstdio>

#include "scenarios.h"
#include "traffic.h"

namespace tarvelbench {

namespace k = tarvel::kernel;
using tarvel::usb::Speed;

namespace {

struct Candidate {
    std::string label;
    std::vector<std::string> settings;
    DWORD chunk;  // application write or read size
    int depth;    // writes or reads kept outstanding
};

// Pipes opened directly carry each request as it is: requests larger than the segment size go out in
// segments, and two such requests outstanding on one pipe would interleave their segments on the bus
// (the bus queues URBs, not requests), so a request is one segment or the only one outstanding.
std::vector<Candidate> Candidates(Speed speed, bool receive, bool pipe) {
    const std::string big = speed == Speed::High ? "65536" : "16384";
    const DWORD bigChunk = speed == Speed::High ? 65536 : 16384;
    const std::vector<std::string> bigSegments = {"EP1_SegmentSize=" + big, "MaximumTransferSize=" + big};
    // The drivers' own receive sizes (the INF sets 4096): bulk-in segments, and the port's reads, of one packet.
    const std::string packetSegments = std::string("EP1_SegmentSize=") + (speed == Speed::High ? "512" : "64");
    if (pipe && receive)
        return {{"defaults", {}, 4096, 1},
                {"packet", {packetSegments}, 4096, 1},
                {"depth2", {}, 4096, 2},
                {"seg_big", bigSegments, bigChunk, 2}};
    if (pipe)
        return {{"defaults", {}, 4096, 2}, {"seg_big", bigSegments, bigChunk, 2}};
    if (receive)
        return {{"defaults", {}, 4096, 2},
                {"packet", {"RxReqSize=0", packetSegments}, 4096, 2},
                {"seg_big", {"RxReqSize=" + big, "EP1_SegmentSize=" + big, "MaximumTransferSize=" + big}, bigChunk, 2}};
    return {{"defaults", {}, 4096, 2},
            {"txasync", {"TxAsync=1"}, 4096, 2},
            {"chunk_big", {}, bigChunk, 2},
            {"seg_big", bigSegments, bigChunk, 2}};
}

unsigned RxReqSizeOf(const Candidate& c) {
    for (const std::string& s : c.settings)
        if (s.rfind("RxReqSize=", 0) == 0) return static_cast<unsigned>(std::stoul(s.substr(10)));
    return 0;
}

// What holds a figure down. With a device that always has a packet ready (or room for one), every
// bulk slot of the frame can carry a full packet; a slot that carries none went to a zero-length
// packet or was left empty between one transfer and the next.
std::string LimitOf(Speed speed, double rate, const Candidate& c, bool receive, bool pipe) {
    const double share = rate / BulkBudget(speed);
    const double packet = speed == Speed::High ? 512 : 64;
    const double perWrite = c.chunk / packet;  // packets of one write
    char text[240];
    if (share >= 0.99) {
        std::snprintf(text, sizeof text, "the bus's bulk budget: %.1f%% of the slots carry a full packet", 100 * share);
    } else if (receive && !pipe && RxReqSizeOf(c) > 4096) {
        std::snprintf(text, sizeof text,
                      "each bulk-in read (RxReqSize %u) is larger than the 4096-byte receive ring: the receive engine "
                      "holds the rest back and waits on its 5/10 ms timer for room", RxReqSizeOf(c));
    } else if (!receive && !pipe && std::abs(share - perWrite / (perWrite + 1)) < 0.01) {
        std::snprintf(text, sizeof text,
                      "a zero-length packet after each write of whole packets: one slot in %.0f carries no data", perWrite + 1);
    } else {
        std::snprintf(text, sizeof text, "%.1f%% of the slots left empty between one transfer and the next", 100 * (1 - share));
    }
    return text;
}

std::vector<Figure> Run(Speed speed, bool receive, bool pipe, bool smoke) {
    std::vector<Figure> figures;
    const std::string base = std::string("fast.") + SpeedName(speed) + (receive ? ".rx." : ".tx.") + (pipe ? "pipe." : "com.");
    double best = -1;
    Figure bestFigure;
    double cpu = 0, moved = 0;
    for (const Candidate& c : Candidates(speed, receive, pipe)) {
        if (!CandidateSelected(c.label, smoke)) continue;
        RigOptions ro;
        ro.device = tarvel::machine::DeviceKind::Fast;
        ro.pipeDirect = pipe;
        ro.speed = speed;
        ro.settings = c.settings;
        Rig rig(ro);
        TrafficOptions to;
        to.send = !receive;
        to.receive = receive;
        to.writeChunk = to.readChunk = c.chunk;
        to.writeDepth = to.readDepth = c.depth;
        to.window = smoke ? 30 * k::kMillisecond : speed == Speed::High ? 200 * k::kMillisecond : k::kSecond;
        const TrafficResult r = RunTraffic(rig, to);
        const double bytes = static_cast<double>(receive ? r.toApp : r.toFar);
        const double rate = bytes / r.seconds;
        Figure f{base + c.label + ".bytes_per_s", rate, "B/s",
                 Describe(c.settings) + ", chunk " + std::to_string(c.chunk) + " x" + std::to_string(c.depth),
                 LimitOf(speed, rate, c, receive, pipe)};
        if (r.corrupted || r.lostInDriver || r.lostToFar)
            f.limit += " [DATA LOST OR OUT OF ORDER: " + std::to_string(r.lostInDriver) + " not delivered, " +
                       std::to_string(r.lostToFar) + " not at the device, " + std::to_string(r.corrupted) + " out of order]";
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
    figures.push_back({"host." + base + "mb_per_cpu_s", cpu > 0 ? moved / 1e6 / cpu : 0, "MB/cpu-s",
                       "payload per host CPU second (real, build-dependent)", ""});
    return figures;
}

} // namespace

std::vector<Scenario> FastThroughputScenarios() {
    std::vector<Scenario> list;
    for (Speed speed : {Speed::Full, Speed::High})
        for (bool receive : {false, true})
            for (bool pipe : {false, true})
                list.push_back({std::string("fast.") + SpeedName(speed) + (receive ? ".rx" : ".tx") + (pipe ? ".pipe" : ".com"),
                                std::string("fast device, ") + SpeedName(speed) + " speed, " +
                                    (receive ? "device to application" : "application to device") +
                                    (pipe ? ", pipes opened by name" : ", COM port"),
                                [speed, receive, pipe](bool smoke) { return Run(speed, receive, pipe, smoke); }});
    return list;
}

} // namespace tarvelbench
