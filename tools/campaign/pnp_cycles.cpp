// PnP with I/O in flight. Each cycle opens the port, starts the application threads, lets them run,
// and then, while requests are outstanding, disables the device (vetoed while the port is open, then
// closed, disabled and enabled again), rebalances it, or pulls the plug and plugs a new adapter in.
// Afterwards every request has ended, nothing of a removed stack is left in pool, and the port
// carries data again.
#include <cstdio>
#include <map>

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

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// After a vetoed disable the application's requests on the open handle are served as before: some
// succeed, and none is refused as by a port that is going away (STATUS_DELETE_PENDING).
void CheckServedAfterTheVeto(const std::map<DWORD, std::uint64_t>& before, const std::map<DWORD, std::uint64_t>& after,
                             const std::string& what) {
    auto since = [&](DWORD error) {
        const auto was = before.find(error);
        const auto is = after.find(error);
        return (is == after.end() ? 0 : is->second) - (was == before.end() ? 0 : was->second);
    };
    CAMPAIGN_CHECK(since(ERROR_SUCCESS) > 0, what + ": no request succeeded on the open port after the veto");
    CAMPAIGN_CHECK(since(ERROR_ACCESS_DENIED) == 0,
                   what + ": " + std::to_string(since(ERROR_ACCESS_DENIED)) +
                       " request(s) refused as by a port going away after the veto");
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
            // First with the port open and requests in flight: the PnP manager vetoes the disable before
            // it asks the stack, and the application's requests go on being served on the same handle.
            const std::map<DWORD, std::uint64_t> before = load.Outcomes();
            NTSTATUS status = tarvel::pnp::Disable(adapter->Node());
            CAMPAIGN_CHECK(status == STATUS_PLUGPLAY_QUERY_VETOED,
                           what + ": a disable with the port open ended with " + Hex(status) + " instead of a veto");
            const tarvel::pnp::Veto veto = tarvel::pnp::LastVeto(adapter->Node());
            CAMPAIGN_CHECK(veto.type == tarvel::pnp::PNP_VetoOutstandingOpen && !veto.name.empty(),
                           what + ": the veto of a disable with the port open is of type " + std::to_string(veto.type) +
                               " by \"" + veto.name + "\"");
            CAMPAIGN_CHECK(tarvel::pnp::State(adapter->Node()) == tarvel::pnp::NodeState::Started,
                           what + ": after the veto the node is " + tarvel::pnp::NodeStateName(tarvel::pnp::State(adapter->Node())));
            Sleep(static_cast<k::VirtualTime>(10 + rng() % 10) * k::kMillisecond);
            load.Stop();
            CheckServedAfterTheVeto(before, load.Outcomes(), what);
            // Then closed: the disable goes through.
            CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
            status = tarvel::pnp::Disable(adapter->Node());
            CAMPAIGN_CHECK(NT_SUCCESS(status), what + ": disable failed: " + Hex(status));
            tarvel::pnp::WaitForIdle();
            // A disabled device's stack is gone: pool must come back to where the first disable left it.
            const std::size_t pool = k::PoolOutstandingTotal();
            if (poolWhenDisabled == 0) poolWhenDisabled = pool;
            CAMPAIGN_CHECK(pool <= poolWhenDisabled,
                           what + ": " + std::to_string(pool - poolWhenDisabled) +
                               " more pool allocations outstanding than after the first disable\n" + k::PoolLeakReport());
            status = tarvel::pnp::Enable(adapter->Node());
            CAMPAIGN_CHECK(NT_SUCCESS(status), what + ": enable failed: " + Hex(status));
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
