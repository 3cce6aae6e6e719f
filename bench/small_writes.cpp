// One-byte WriteFile calls per second, each waited for before the next, as a program that writes a
// character at a time does; the UART far faster than the bus so that the stack sets the pace.
#include "scenarios.h"
#include "traffic.h"

namespace tarvelbench {

namespace k = tarvel::kernel;
namespace u = tarvel::user;
using tarvel::usb::Speed;

namespace {

std::vector<Figure> Run(Speed speed, bool buffered, bool smoke) {
    RigOptions ro;
    ro.speed = speed;
    if (buffered) ro.settings = {"TxAsync=1"};
    ro.uartBaud = 50'000'000u;
    Rig rig(ro);
    HANDLE port = rig.Port();
    HANDLE event = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const k::VirtualTime window = smoke ? 20 * k::kMillisecond : 200 * k::kMillisecond;
    const k::VirtualTime start = k::Now();
    std::uint64_t calls = 0;
    DWORD ignored = 0;
    // The buffered transmitter completes a write without virtual time passing until its ring is full,
    // so a cap on the calls keeps the host time bounded as well.
    const std::uint64_t maxCalls = smoke ? 5'000 : 100'000;
    while (k::Now() - start < window && calls < maxCalls) {
        const std::uint8_t byte = PatternByte(calls);
        u::OVERLAPPED ov{};
        ov.hEvent = event;
        if (!u::WriteFile(port, &byte, 1, &ignored, &ov) && u::GetLastError() != ERROR_IO_PENDING) break;
        DWORD bytes = 0;
        if (!u::GetOverlappedResult(port, &ov, &bytes, TRUE) || bytes != 1) break;
        ++calls;
    }
    const double seconds = static_cast<double>(k::Now() - start) / k::kSecond;
    u::CloseHandle(event);
    const std::string name = std::string("smallwrites.") + SpeedName(speed) + (buffered ? ".buffered" : ".direct");
    return {{name + ".calls_per_s", calls / seconds, "calls/s", Describe(ro.settings) + ", 1-byte WriteFile, waited",
             buffered ? "completes once in the transmit ring" : "one USB transfer per call"}};
}

} // namespace

std::vector<Scenario> SmallWriteScenarios() {
    std::vector<Scenario> list;
    for (Speed speed : {Speed::Full, Speed::High})
        for (bool buffered : {false, true})
            list.push_back({std::string("smallwrites.") + SpeedName(speed) + (buffered ? ".buffered" : ".direct"),
                            "one-byte WriteFile calls per second",
                            [speed, buffered](bool smoke) { return Run(speed, buffered, smoke); }});
    return list;
}

} // namespace tarvelbench
