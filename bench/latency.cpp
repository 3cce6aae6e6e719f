// Latency of one byte: far side -> application read (read modes 1 and 2), and WriteFile -> the byte's
// start bit leaving the adapter's UART. Each sample starts at a pseudo-random phase against the bus's
// frames and the drivers' timers.
#include <algorithm>

#include "scenarios.h"
#include "traffic.h"

namespace tarvelbench {

namespace k = tarvel::kernel;
namespace u = tarvel::user;
using tarvel::usb::Speed;

namespace {

struct Phases {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    // 0..10 ms, in 100-ns units.
    k::VirtualTime Next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<k::VirtualTime>((state >> 33) % (10 * k::kMillisecond));
    }
};

void Wait(HANDLE port, u::OVERLAPPED* ov) {
    DWORD bytes = 0;
    u::GetOverlappedResult(port, ov, &bytes, TRUE);
}

std::vector<Figure> Summarise(const std::string& base, std::vector<k::VirtualTime> samples, const std::string& settings) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const std::size_t i = std::min(samples.size() - 1, static_cast<std::size_t>(q * (samples.size() - 1) + 0.5));
        return static_cast<double>(samples[i]) / 10.0;  // microseconds
    };
    return {{base + ".median", at(0.5), "us", settings, std::to_string(samples.size()) + " samples"},
            {base + ".p99", at(0.99), "us", settings, ""}};
}

std::vector<Figure> Receive(Speed speed, int readMode, std::vector<std::string> settings, const std::string& label, bool smoke) {
    RigOptions ro;
    ro.speed = speed;
    ro.settings = settings;
    ro.readMode = readMode;
    Rig rig(ro);
    HANDLE port = rig.Port();
    HANDLE event = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const k::VirtualTime charTime = static_cast<k::VirtualTime>(k::kSecond / rig.LineBytesPerSecond());
    if (readMode == 1) u::SetCommMask(port, EV_RXCHAR);
    Phases phases;
    std::vector<k::VirtualTime> samples;
    std::uint8_t buffer[64];
    DWORD ignored = 0, mask = 0;  // outlive every request that writes them
    for (int i = 0, n = smoke ? 10 : 300; i < n; ++i) {
        k::RunFor(phases.Next() + k::kMillisecond);
        u::OVERLAPPED ov{};
        ov.hEvent = event;
        u::ResetEvent(event);
        const BOOL issued = readMode == 1 ? u::WaitCommEvent(port, &mask, &ov)
                                          : u::ReadFile(port, buffer, sizeof buffer, &ignored, &ov);
        if (!issued && u::GetLastError() != ERROR_IO_PENDING)
            throw BenchError("the request for a byte failed at once, error " + std::to_string(u::GetLastError()));
        const k::VirtualTime in = k::Now() + charTime;  // the byte is in the adapter's FIFO
        rig.Far().Send(1);
        Wait(port, &ov);
        if (readMode == 1) {  // the event says a byte is there; the read returns it at once
            u::OVERLAPPED rov{};
            rov.hEvent = event;
            u::ReadFile(port, buffer, sizeof buffer, &ignored, &rov);
            Wait(port, &rov);
        }
        samples.push_back(k::Now() - in);
    }
    u::SetCommMask(port, 0);
    k::RunUntilIdle();
    u::CloseHandle(event);
    return Summarise("latency.rx." + std::string(SpeedName(speed)) + ".mode" + std::to_string(readMode) + "." + label, samples,
                     Describe(settings) + ", 115200 baud");
}

std::vector<Figure> Transmit(Speed speed, std::vector<std::string> settings, const std::string& label, bool smoke) {
    RigOptions ro;
    ro.speed = speed;
    ro.settings = settings;
    Rig rig(ro);
    HANDLE port = rig.Port();
    HANDLE event = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const k::VirtualTime charTime = static_cast<k::VirtualTime>(k::kSecond / rig.LineBytesPerSecond());
    rig.Far().RecordTimes(true);
    Phases phases;
    std::vector<k::VirtualTime> samples;
    const std::uint8_t byte = PatternByte(0);
    DWORD ignored = 0;
    for (int i = 0, n = smoke ? 10 : 300; i < n; ++i) {
        k::RunFor(phases.Next() + k::kMillisecond);
        rig.Far().Times().clear();
        const std::uint64_t before = rig.Far().Arrived();
        u::OVERLAPPED ov{};
        ov.hEvent = event;
        const k::VirtualTime start = k::Now();
        u::WriteFile(port, &byte, 1, &ignored, &ov);
        Wait(port, &ov);
        for (int polls = 0; rig.Far().Arrived() == before && polls < 1000; ++polls) k::RunFor(k::kMillisecond);
        if (rig.Far().Times().empty()) continue;
        samples.push_back(rig.Far().Times().front() - charTime - start);
    }
    u::CloseHandle(event);
    if (samples.empty()) return {{"latency.tx." + std::string(SpeedName(speed)) + "." + label + ".median", -1, "us", "no byte arrived", ""}};
    return Summarise("latency.tx." + std::string(SpeedName(speed)) + "." + label, samples, Describe(settings) + ", 115200 baud");
}

} // namespace

std::vector<Scenario> LatencyScenarios() {
    std::vector<Scenario> list;
    for (Speed speed : {Speed::Full, Speed::High}) {
        const std::string s = SpeedName(speed);
        for (int mode : {1, 2}) {
            list.push_back({"latency.rx." + s + ".mode" + std::to_string(mode) + ".poll0",
                            "far side byte -> read completes, read mode " + std::to_string(mode) + ", RxPollPeriod 0 (INF default)",
                            [speed, mode](bool smoke) { return Receive(speed, mode, {}, "poll0", smoke); }});
            list.push_back({"latency.rx." + s + ".mode" + std::to_string(mode) + ".poll10",
                            "far side byte -> read completes, read mode " + std::to_string(mode) + ", RxPollPeriod 10",
                            [speed, mode](bool smoke) { return Receive(speed, mode, {"RxPollPeriod=10"}, "poll10", smoke); }});
        }
        // The receive sizes that let the defaults keep up at 921600 baud must not cost latency.
        list.push_back({"latency.rx." + s + ".mode2.segments",
                        "far side byte -> read completes, read mode 2, RxReqSize and EP1_SegmentSize 4096",
                        [speed](bool smoke) {
                            return Receive(speed, 2, {"RxReqSize=4096", "EP1_SegmentSize=4096"}, "segments", smoke);
                        }});
        list.push_back({"latency.tx." + s + ".direct", "WriteFile -> start bit leaves the UART, direct transmitter",
                        [speed](bool smoke) { return Transmit(speed, {}, "direct", smoke); }});
        list.push_back({"latency.tx." + s + ".buffered", "WriteFile -> start bit leaves the UART, buffered transmitter",
                        [speed](bool smoke) { return Transmit(speed, {"TxAsync=1"}, "buffered", smoke); }});
    }
    return list;
}

} // namespace tarvelbench
