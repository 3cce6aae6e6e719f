// Low resources: one phase of the port's life (install, open, stream, surprise removal, power cycle) runs
// with one allocation attempt failed, or with every attempt failing at random at a few percent. The
// failure must reach the caller as a failure (or be absorbed), leave nothing behind, and the next attempt
// without faults must succeed. Without a fault given, the run counts the attempts of the phase so that
// the runner can sweep them one by one.
#include "io_load.h"
#include "scenarios.h"
#include "tarvel/pnp.h"

namespace campaign {

namespace {

constexpr k::FaultSite kSites[kFaultSites] = {k::FaultSite::Pool, k::FaultSite::Irp, k::FaultSite::Mdl,
                                              k::FaultSite::WorkItem, k::FaultSite::PowerIrp, k::FaultSite::Registry};

// The window in which faults are armed; Disarm records what it saw.
class FaultWindow {
public:
    FaultWindow(const RunPlan& plan, Tally& tally) : plan_(plan), tally_(tally) {}
    void Arm() {
        k::ClearFaults();
        if (plan_.faultSite >= 0) k::FailNth(kSites[plan_.faultSite], plan_.faultNth);
        if (plan_.faultRate > 0)
            for (std::size_t s = 0; s < kFaultSites; ++s) k::FailRandom(kSites[s], plan_.faultRate, Mix(plan_.seed, 500 + s));
    }
    void Disarm() {
        for (std::size_t s = 0; s < kFaultSites; ++s) tally_.siteCalls[s] = k::FaultSiteCalls(kSites[s]);
        tally_.faults += k::FaultsInjected();
        k::ClearFaults();
    }

private:
    const RunPlan& plan_;
    Tally& tally_;
};

// Sends a line and reads it back; with faults armed any step may fail, but each must end.
void Stream(HANDLE port, std::mt19937_64& rng, Tally& tally) {
    std::string data(1 + rng() % 300, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    Overlapped write, read;
    DWORD written = 0, got = 0;
    BOOL ok = u::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, &write.ov);
    if (ok || u::GetLastError() == ERROR_IO_PENDING) Finish(port, write, &written, 2000, "stream write");
    std::string back(data.size(), '\0');
    ok = u::ReadFile(port, back.data(), static_cast<DWORD>(back.size()), nullptr, &read.ov);
    if (ok || u::GetLastError() == ERROR_IO_PENDING) Finish(port, read, &got, 2000, "stream read");
    CAMPAIGN_CHECK(written <= data.size() && got <= back.size(), "stream: more bytes reported than the buffers hold");
    tally.requests += 2;
}

}  // namespace

const std::vector<std::string>& LowResourcePhases() {
    static const std::vector<std::string> phases = {"install", "open", "stream", "surprise", "power"};
    return phases;
}

Tally RunLowResources(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 600));
    FaultWindow faults(plan, tally);
    m::Machine machine(RandomMachine(plan.seed));
    const std::string& phase = plan.phase;

    if (phase == "install") {
        faults.Arm();
        m::Adapter& first = machine.Plug();
        faults.Disarm();
        if (!first.Started())
            CAMPAIGN_CHECK(!NT_SUCCESS(first.InstallStatus()), "a failed install reported success");
        machine.Unplug(first);
        tarvel::pnp::WaitForIdle();
        CheckNothingLeftBehind(machine, "after the install under faults and its unplug");
        m::Adapter& again = machine.Plug();
        ++tally.cycles;
        ProvePortWorks(again, "install after the failed one", tally);
        machine.Unplug(again);
        ShutdownClean(machine);
        return tally;
    }

    m::Adapter& adapter = machine.Plug();
    CAMPAIGN_CHECK(adapter.Started(), "install without faults failed: status " + std::to_string(adapter.InstallStatus()));
    if (phase == "open") {
        faults.Arm();
        HANDLE port = OpenPort(adapter.ComName());
        const DWORD error = u::GetLastError();
        faults.Disarm();
        if (port == INVALID_HANDLE_VALUE)
            CAMPAIGN_CHECK(error != ERROR_SUCCESS, "a failed open set no error");
        else
            CAMPAIGN_CHECK(u::CloseHandle(port), "close after an open under faults failed");
    } else if (phase == "stream") {
        HANDLE port = OpenPort(adapter.ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE && ConfigurePort(port, 100), "open without faults failed");
        faults.Arm();
        for (int i = 0; i < 3; ++i) Stream(port, rng, tally);
        faults.Disarm();
        CAMPAIGN_CHECK(u::CloseHandle(port), "close after streaming under faults failed");
    } else if (phase == "surprise") {
        HANDLE port = OpenPort(adapter.ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE && ConfigurePort(port), "open without faults failed");
        IoLoad load(port, Mix(plan.seed, 1), tally);
        load.Start();
        Sleep(static_cast<k::VirtualTime>(rng() % 10) * k::kMillisecond);
        faults.Arm();
        machine.Unplug(adapter);
        Sleep(5 * k::kMillisecond);
        load.Stop();
        u::CloseHandle(port);
        tarvel::pnp::WaitForIdle();
        faults.Disarm();
        CAMPAIGN_CHECK(adapter.Gone(), "the removal did not follow the last handle's close");
        CheckNothingLeftBehind(machine, "after a surprise removal under faults");
        m::Adapter& again = machine.Plug();
        ++tally.cycles;
        ProvePortWorks(again, "re-plug after the surprise removal under faults", tally);
        machine.Unplug(again);
        ShutdownClean(machine);
        return tally;
    } else if (phase == "power") {
        HANDLE port = OpenPort(adapter.ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE && ConfigurePort(port), "open without faults failed");
        faults.Arm();
        const NTSTATUS slept = tarvel::power::SetSystemState(PowerSystemSleeping3);
        if (NT_SUCCESS(slept)) tarvel::power::SetSystemState(PowerSystemWorking);
        faults.Disarm();
        if (tarvel::power::SystemState() != PowerSystemWorking)
            CAMPAIGN_CHECK(NT_SUCCESS(tarvel::power::SetSystemState(PowerSystemWorking)), "resume without faults failed");
        CAMPAIGN_CHECK(u::CloseHandle(port), "close after a power cycle under faults failed");
    } else {
        Finding("unknown low-resource phase " + phase);
    }
    ++tally.cycles;
    ProvePortWorks(adapter, "the next attempt after the " + phase + " phase under faults", tally);
    machine.Unplug(adapter);
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
