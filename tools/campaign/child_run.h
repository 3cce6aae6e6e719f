// Each seed runs in a child process of its own, so that a verifier stop, a sanitizer report, a hang
// report or a timeout ends that run only and becomes a finding with its seed and replay command.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

#include "scenarios.h"

namespace campaign {

struct ChildOutcome {
    bool passed = false;
    Tally tally;
    std::string finding;  // the lines of the child's log that say what went wrong
    std::string logPath;  // the child's whole standard error
};

// Starts the run in a child whose standard output and error go to logPath; returns its pid.
pid_t StartChild(const Scenario& scenario, const RunPlan& plan, const std::string& logPath, unsigned timeoutSeconds,
                 int* resultFd);
// Collects a finished child (its wait status from waitpid) and reads its tally and log; endedBy says
// why the runner ended it, if it did.
ChildOutcome CollectChild(int waitStatus, int resultFd, const std::string& logPath, const std::string& endedBy = {});
// What a running child holds in memory (resident bytes); 0 once it is gone.
std::size_t ResidentBytes(pid_t pid);

}  // namespace campaign
