// PnP with I/O in flight. Each cycle opens the port, starts the application threads, lets them run,
// and then disables and enables the device, rebalances it, or pulls the plug and plugs a new adapter
// in, while requests are outstanding. Afterwards every request has ended, nothing of a removed stack
// is left in pool, and the port carries data again.
#include <cstdio>

#include "io_load.h"
#include "scenarios.h"
#include "tarvel/pnp.h"

namespace campaign {

namespace {

enum class Action { DisableEnable, Rebalance, SurpriseReplug };

const char* Name(Action a) {
    switch (a) {
    case Action::DisableEnable: return "disable/enable";
    case Action::Rebalance: return "rebalance";
    case Action::SurpriseReplug: return "surprise removal";
    }
    return "?";
}


}  // namespace

Tally RunPnpCycles(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 100));
    m::Machine machine(RandomMachine(plan.seed));
    m::Adapter* adapter = &machine.Plug();
    CAMPAIGN_CHECK(adapter->Started(), "first install failed: status " + std::to_string(adapter->InstallStatus()));

    std::size_t poolWhenDisabled = 0;
    for (unsigned cycle = 0; cycle < plan.cycles; ++cycle) {
        const Action action = static_cast<Action>(rng() % 3);
        const std::string what = "cycle " + std::to_string(cycle) + " (" + Name(action) + ")";
        std::printf("%s\n", what.c_str());
        std::fflush(stdout);
        HANDLE port = OpenPort(adapter->ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE, what + ": open failed, error " + std::to_string(u::GetLastError()));
        CAMPAIGN_CHECK(ConfigurePort(port), what + ": settings refused");
        IoLoad load(port, Mix(plan.seed, cycle), tally);
        load.Start();
        Sleep(static_cast<k::VirtualTime>(1 + rng() % 30) * k::kMillisecond);

        switch (action) {
        case Action::DisableEnable: {
            // The port is closed first: a disable with the port open deadlocks today (the PnP manager sends
            // query-remove and removal regardless of open handles, and the port's removal waits for the
            // close); tests/campaign replays it. --disable-while-open exercises it here.
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            if (DisableWhileOpen()) status = tarvel::pnp::Disable(adapter->Node());
            Sleep(static_cast<k::VirtualTime>(rng() % 10) * k::kMillisecond);
            load.Stop();
            CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
            if (!NT_SUCCESS(status)) status = tarvel::pnp::Disable(adapter->Node());
            CAMPAIGN_CHECK(NT_SUCCESS(status), what + ": disable failed: " + std::to_string(status));
            tarvel::pnp::WaitForIdle();
            // A disabled device's stack is gone: pool must come back to where the first disable left it.
            const std::size_t pool = k::PoolOutstandingTotal();
            if (poolWhenDisabled == 0) poolWhenDisabled = pool;
            CAMPAIGN_CHECK(pool <= poolWhenDisabled,
                           what + ": " + std::to_string(pool - poolWhenDisabled) +
                               " more pool allocations outstanding than after the first disable\n" + k::PoolLeakReport());
            status = tarvel::pnp::Enable(adapter->Node());
            CAMPAIGN_CHECK(NT_SUCCESS(status), what + ": enable failed: " + std::to_string(status));
            break;
        }
        case Action::Rebalance: {
            const NTSTATUS status = tarvel::pnp::Rebalance(adapter->Node());
            const auto state = tarvel::pnp::State(adapter->Node());
            CAMPAIGN_CHECK(state == tarvel::pnp::NodeState::Started,
                           what + ": after a rebalance (status " + std::to_string(status) + ") the node is " +
                               tarvel::pnp::NodeStateName(state));
            Sleep(static_cast<k::VirtualTime>(rng() % 20) * k::kMillisecond);
            load.Stop();
            CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
            break;
        }
        case Action::SurpriseReplug: {
            machine.Unplug(*adapter);
            Sleep(static_cast<k::VirtualTime>(rng() % 10) * k::kMillisecond);
            load.Stop();
            u::CloseHandle(port);
            tarvel::pnp::WaitForIdle();
            CAMPAIGN_CHECK(adapter->Gone(), what + ": the removal did not follow the last handle's close");
            CheckNothingLeftBehind(machine, what);
            adapter = &machine.Plug();
            CAMPAIGN_CHECK(adapter->Started(), what + ": re-plug failed: status " + std::to_string(adapter->InstallStatus()));
            break;
        }
        }
        ++tally.cycles;
        ProvePortWorks(*adapter, what, tally);
    }
    machine.Unplug(*adapter);
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
