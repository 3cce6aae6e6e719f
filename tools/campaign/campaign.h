// What the campaign's scenarios share: the tally a seed's run reports to the runner, the way a run
// states a finding, and the application-side steps every scenario takes (open, configure, prove the
// port works end to end through the loopback plug).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>
#include <random>
#include <string>

#include "tarvel/kernel.h"
#include "tarvel/machine/machine.h"
#include "tarvel/user/comm.h"

namespace campaign {

namespace k = tarvel::kernel;
namespace m = tarvel::machine;
namespace u = tarvel::user;

constexpr std::size_t kFaultSites = 6;

// What one seed's run did; the child process hands it to the runner through a pipe.
struct Tally {
    std::uint64_t cycles = 0;
    std::uint64_t requests = 0;  // requests the application sent and saw completed
    std::uint64_t faults = 0;    // allocation failures injected, and device misbehaviours
    std::uint64_t siteCalls[kFaultSites] = {};  // allocation attempts in the armed window (sweep counting)
};

// How a scenario's run is set up: the scheduling policy and its seed, the run's size and, for
// low-resource runs, which allocation attempt fails.
struct RunPlan {
    std::string policy = "random";  // as the kernel's ParsePolicy reads it: random, pct, pct:3:40000
    std::uint64_t seed = 1;
    unsigned cycles = 3;
    int faultSite = -1;       // FaultSite index, -1 none
    unsigned faultNth = 0;    // fail this attempt of faultSite in the armed window
    double faultRate = 0;     // or fail every site at random with this probability
    std::string phase;        // low resources: install, open, stream, surprise, power
    bool skipOpenPairs = false;  // operation pairs: leave out the pairs with a finding not fixed yet
};

// A check the drivers failed: prints "CAMPAIGN FINDING: ..." and ends the child process at once
// (no unwinding through emulated threads).
[[noreturn]] void Finding(const std::string& what);
#define CAMPAIGN_CHECK(cond, what)                                  \
    do {                                                            \
        if (!(cond)) ::campaign::Finding(std::string(what));        \
    } while (0)

// Replays with the kernel's trace on standard error (--trace).
void SetTraceKernel(bool on);
// The scheduling policy of the runs of this process (a plan's policy; "random" until set). False if the
// kernel does not know it.
bool UsePolicy(const std::string& policy);

// Boots a machine under the policy in use with the run's seed.
m::MachineOptions RandomMachine(std::uint64_t seed);

// With no adapter plugged in, the machine must be as after boot: no pool, stacks, drivers or names.
void CheckNothingLeftBehind(m::Machine& machine, const std::string& when);
// Unplugs what is plugged, shuts the machine down and reports anything left behind as a finding.
void ShutdownClean(m::Machine& machine);

HANDLE OpenPort(const std::string& comName);  // overlapped, read and write; INVALID_HANDLE_VALUE on failure
// 115200 8N1, no flow control, DTR and RTS on, the given read total timeout; false if a call failed.
bool ConfigurePort(HANDLE port, DWORD readTimeoutMs = 50);
// Opens the port, sends a line through the loopback plug and reads it back, closes: a finding if any
// step fails. `what` names the moment for the report.
void ProvePortWorks(m::Adapter& adapter, const std::string& what, Tally& tally);

// One overlapped request with its own event, waited for in virtual time.
struct Overlapped {
    u::OVERLAPPED ov{};
    Overlapped();
    ~Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    bool Completed() const { return static_cast<NTSTATUS>(ov.Internal) != STATUS_PENDING; }
};
// Waits for a request that was issued: up to `limitMs` of virtual time, then CancelIo and a wait
// without limit (a request that cancellation cannot end hangs the machine, which the kernel reports).
// Returns the call's result; the error is in GetLastError. Checks the request ended exactly once.
BOOL Finish(HANDLE port, Overlapped& request, DWORD* bytes, DWORD limitMs, const char* what);

// Application threads that the scenario waits for. Join polls flags set as each body's last act, so
// nothing of the group is touched once a thread has finished.
class Threads {
public:
    void Start(std::string name, std::function<void()> body);
    // Waits up to `limit` of virtual time; returns the names of the threads still running (empty: all done).
    std::string Join(k::VirtualTime limit);

private:
    struct Entry {
        std::string name;
        std::shared_ptr<bool> done;
    };
    std::vector<Entry> threads_;
};

void Sleep(k::VirtualTime duration);  // virtual time passes for the calling thread
std::uint64_t Mix(std::uint64_t seed, std::uint64_t stream);  // independent generator seeds

}  // namespace campaign
