// A hostile adapter: while the application threads keep requests in flight, the device stalls its
// endpoints, NAKs for long stretches, refuses control transfers, or is unplugged mid-transfer. The
// drivers must end every request, leave nothing behind, and a fresh adapter must work.
#include "io_load.h"
#include "scenarios.h"
#include "tarvel/pnp.h"
#include "usb/serial/serial_adapter.h"

namespace campaign {

namespace {

using Adapter = tarvel::usb::SerialAdapter;
constexpr std::uint8_t kEndpoints[] = {Adapter::kBulkOut, Adapter::kBulkIn, Adapter::kStatusIn};

// One misbehaviour; returns false once the device has been unplugged.
bool Misbehave(m::Machine& machine, m::Adapter& adapter, std::mt19937_64& rng) {
    auto& model = adapter.Model();
    switch (rng() % 5) {
    case 0: model.StallEndpoint(kEndpoints[rng() % 3]); break;
    case 1: {
        const std::uint8_t ep = kEndpoints[rng() % 3];
        model.NakForever(ep, true);
        Sleep(static_cast<k::VirtualTime>(10 + rng() % 500) * k::kMillisecond);
        model.NakForever(ep, false);
        break;
    }
    case 2: model.FailControlTransfers(1 + static_cast<unsigned>(rng() % 4)); break;
    case 3: Sleep(static_cast<k::VirtualTime>(rng() % 20) * k::kMillisecond); break;
    case 4:
        machine.Unplug(adapter);
        return false;
    }
    return true;
}

}  // namespace

Tally RunHostileDevice(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 700));
    m::Machine machine(RandomMachine(plan.seed));
    for (unsigned cycle = 0; cycle < plan.cycles; ++cycle) {
        const std::string what = "hostile cycle " + std::to_string(cycle);
        m::Adapter& adapter = machine.Plug();
        CAMPAIGN_CHECK(adapter.Started(), what + ": install failed: status " + std::to_string(adapter.InstallStatus()));
        HANDLE port = OpenPort(adapter.ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE, what + ": open failed");
        CAMPAIGN_CHECK(ConfigurePort(port), what + ": settings refused");
        IoLoad load(port, Mix(plan.seed, cycle), tally);
        load.Start();
        bool plugged = true;
        for (int i = 0; i < 4 && plugged; ++i) {
            Sleep(static_cast<k::VirtualTime>(rng() % 15) * k::kMillisecond);
            plugged = Misbehave(machine, adapter, rng);
        }
        Sleep(static_cast<k::VirtualTime>(rng() % 20) * k::kMillisecond);
        // A device that keeps NAKing leaves reads pending: Stop cancels what the grace period does not end.
        load.Stop();
        u::CloseHandle(port);
        // Whatever state the device is in, pulling it must take the stack down cleanly.
        machine.Unplug(adapter);
        tarvel::pnp::WaitForIdle();
        CAMPAIGN_CHECK(adapter.Gone(), what + ": the removal did not go through");
        CheckNothingLeftBehind(machine, what);
        m::Adapter& fresh = machine.Plug();
        ++tally.cycles;
        ProvePortWorks(fresh, what + ": a fresh adapter after the hostile one", tally);
        machine.Unplug(fresh);
        tarvel::pnp::WaitForIdle();
    }
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
