// Sleep with I/O: each cycle puts the system into one of the sleeping states while the application
// threads have requests in flight, lets time pass asleep (the adapter signalling remote wake-up when
// it can), resumes, and proves the port works again.
#include "io_load.h"
#include "scenarios.h"
#include "tarvel/pnp.h"

namespace campaign {

Tally RunSleepCycles(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 200));
    m::Machine machine(RandomMachine(plan.seed));
    m::AdapterOptions options;
    options.remoteWakeup = (rng() & 1) != 0;
    m::Adapter& adapter = machine.Plug(options);
    CAMPAIGN_CHECK(adapter.Started(), "install failed: status " + std::to_string(adapter.InstallStatus()));
    static constexpr SYSTEM_POWER_STATE kStates[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                                     PowerSystemHibernate};
    for (unsigned cycle = 0; cycle < plan.cycles; ++cycle) {
        const SYSTEM_POWER_STATE state = kStates[rng() % 4];
        const std::string what = "cycle " + std::to_string(cycle) + " (S" + std::to_string(state - 1) +
                                 (options.remoteWakeup ? ", remote wake-up" : "") + ")";
        const bool withIo = (rng() % 4) != 0;
        HANDLE port = INVALID_HANDLE_VALUE;
        std::unique_ptr<IoLoad> load;
        if (withIo) {
            port = OpenPort(adapter.ComName());
            CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE, what + ": open failed, error " + std::to_string(u::GetLastError()));
            CAMPAIGN_CHECK(ConfigurePort(port), what + ": settings refused");
            load = std::make_unique<IoLoad>(port, Mix(plan.seed, cycle), tally);
            load->Start();
            Sleep(static_cast<k::VirtualTime>(rng() % 20) * k::kMillisecond);
        }
        const NTSTATUS slept = tarvel::power::SetSystemState(state);
        if (NT_SUCCESS(slept)) {
            Sleep(static_cast<k::VirtualTime>(5 + rng() % 50) * k::kMillisecond);
            if (options.remoteWakeup && (rng() & 1)) adapter.Model().SignalRemoteWake();
            Sleep(static_cast<k::VirtualTime>(rng() % 5) * k::kMillisecond);
            const NTSTATUS woke = tarvel::power::SetSystemState(PowerSystemWorking);
            CAMPAIGN_CHECK(NT_SUCCESS(woke), what + ": resume failed: " + std::to_string(woke));
        }
        CAMPAIGN_CHECK(tarvel::power::SystemState() == PowerSystemWorking, what + ": the system did not return to S0");
        if (withIo) {
            Sleep(static_cast<k::VirtualTime>(rng() % 20) * k::kMillisecond);
            load->Stop();
            load.reset();
            CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
        }
        ++tally.cycles;
        ProvePortWorks(adapter, what, tally);
    }
    machine.Unplug(adapter);
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
