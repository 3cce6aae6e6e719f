#include "child_run.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace campaign {

namespace {

// Standard output and error of the child from now on go to path.
void LogTo(const std::string& path) {
    std::fflush(stdout);
    std::fflush(stderr);
    const int log = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log < 0) return;
    dup2(log, 1);
    dup2(log, 2);
    close(log);
}

}  // namespace

pid_t StartChild(const std::vector<ChildRun>& runs, unsigned timeoutSeconds, std::size_t restartAboveBytes,
                 std::chrono::steady_clock::time_point startNoRunAfter, int* resultFd) {
    int result[2];
    if (pipe(result) != 0) return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid != 0) {
        close(result[1]);
        *resultFd = result[0];
        return pid;
    }
    close(result[0]);
    sigset_t childExits;  // the runner waits for them; the run itself sees signals as usual
    sigemptyset(&childExits);
    sigaddset(&childExits, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &childExits, nullptr);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const ChildRun& run = runs[i];
        if (i > 0 && std::chrono::steady_clock::now() > startNoRunAfter) break;
        LogTo(run.logPath);
        alarm(timeoutSeconds);  // SIGALRM ends a run that no longer moves in real time
        if (!UsePolicy(run.plan.policy)) _exit(5);
        if (run.planted == PlantedFinding::Always || (run.planted == PlantedFinding::AfterOtherRuns && i > 0))
            Finding("planted finding of seed " + std::to_string(run.plan.seed));
        const Tally tally = run.scenario->run(run.plan);
        std::fflush(stdout);
        std::fflush(stderr);
        // A tally in the pipe says the run finished; the runner counts them to know where a child ended.
        if (write(result[1], &tally, sizeof tally) != static_cast<ssize_t>(sizeof tally)) _exit(4);
        if (ResidentBytes(getpid()) > restartAboveBytes) break;
    }
    _exit(0);
}

namespace {

// The lines that name the fault: our own findings, verifier stops, sanitizer reports, hang reports.
std::string FindingLines(const std::string& log) {
    static const char* const kMarks[] = {"CAMPAIGN FINDING", "VERIFIER STOP", "RACE:", "ERROR: AddressSanitizer",
                                         "ERROR: LeakSanitizer", "runtime error:", "HANG", "hang", "terminate called",
                                         "Assertion"};
    std::istringstream in(log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (std::size_t i = 0; i < lines.size(); ++i)
        for (const char* mark : kMarks)
            if (lines[i].find(mark) != std::string::npos) {
                std::string text;
                for (std::size_t j = i; j < lines.size() && j < i + 6; ++j) text += lines[j] + "\n";
                return text;
            }
    std::string tail;
    for (std::size_t i = lines.size() > 6 ? lines.size() - 6 : 0; i < lines.size(); ++i) tail += lines[i] + "\n";
    return tail;
}

}  // namespace

std::size_t ResidentBytes(pid_t pid) {
    std::ifstream statm("/proc/" + std::to_string(pid) + "/statm");
    std::size_t pages = 0, resident = 0;
    if (!(statm >> pages >> resident)) return 0;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::vector<ChildOutcome> CollectChild(int waitStatus, int resultFd, const std::vector<ChildRun>& runs,
                                       const std::string& endedBy) {
    std::vector<ChildOutcome> outcomes;
    for (const ChildRun& run : runs) {
        ChildOutcome outcome;
        outcome.logPath = run.logPath;
        const ssize_t got = read(resultFd, &outcome.tally, sizeof outcome.tally);
        outcome.passed = got == static_cast<ssize_t>(sizeof outcome.tally);
        std::ifstream file(run.logPath);
        std::stringstream text;
        text << file.rdbuf();
        if (outcome.passed) {
            // A thread still blocked when the machine shut down waited for something that never came: a
            // hang that the machine could not see because time still moved or the waiter was a system worker.
            const std::size_t stuck = text.str().find("still waits at shutdown");
            if (stuck != std::string::npos) {
                const std::size_t line = text.str().rfind('\n', stuck);
                outcome.passed = false;
                outcome.finding = text.str().substr(line == std::string::npos ? 0 : line + 1);
                outcome.finding = outcome.finding.substr(0, outcome.finding.find('\n') + 1);
            }
            outcomes.push_back(outcome);
            continue;
        }
        // The child ended in this run, or (exited cleanly) before it: the runs from here on were not done.
        if (WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0 && endedBy.empty()) break;
        outcome.finding = FindingLines(text.str());
        if (!endedBy.empty()) {
            outcome.finding += "(" + endedBy + ")\n";
        } else if (WIFSIGNALED(waitStatus)) {
            const int sig = WTERMSIG(waitStatus);
            outcome.finding += sig == SIGALRM ? "(timed out in real time)\n"
                                              : "(ended by signal " + std::to_string(sig) + ")\n";
        } else if (WIFEXITED(waitStatus)) {
            outcome.finding += "(exit status " + std::to_string(WEXITSTATUS(waitStatus)) + ")\n";
        }
        outcomes.push_back(outcome);
        break;
    }
    close(resultFd);
    return outcomes;
}

}  // namespace campaign
