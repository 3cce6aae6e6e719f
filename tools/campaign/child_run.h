// Seeds run in child processes, several in turn in each, every one on a machine of its own: a verifier
// stop, a sanitizer report, a hang report or a timeout ends the child in the middle of one run, which
// becomes a finding with its seed and replay command; the runs after it go to a fresh child.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

#include "scenarios.h"

namespace campaign {

struct ChildOutcome {
    bool passed = false;
    Tally tally;
    std::string finding;  // the lines of the run's log that say what went wrong
    std::string logPath;  // the run's whole standard output and error
};

// For the runner's own tests: a run that fails by itself, or only after other runs in its process (as
// one would that depends on state an earlier machine left behind).
enum class PlantedFinding { None, Always, AfterOtherRuns };

struct ChildRun {
    const Scenario* scenario = nullptr;
    RunPlan plan;
    std::string logPath;  // standard output and error of this run only
    PlantedFinding planted = PlantedFinding::None;
};

// Starts a child that does the runs in order, each with its own log and a real-time limit of
// timeoutSeconds. It stops (cleanly) before a run once the time is past startNoRunAfter, and after a
// run that leaves it holding more than restartAboveBytes, so that a fresh child takes the rest.
// Returns its pid.
pid_t StartChild(const std::vector<ChildRun>& runs, unsigned timeoutSeconds, std::size_t restartAboveBytes,
                 std::chrono::steady_clock::time_point startNoRunAfter, int* resultFd);
// Collects a finished child (its wait status from waitpid): an outcome for each run it finished, and
// one for the run it ended in, if it ended in one. Runs after those were not started. endedBy says why
// the runner ended the child, if it did.
std::vector<ChildOutcome> CollectChild(int waitStatus, int resultFd, const std::vector<ChildRun>& runs,
                                       const std::string& endedBy = {});
// What a running child holds in memory (resident bytes); 0 once it is gone.
std::size_t ResidentBytes(pid_t pid);

}  // namespace campaign
