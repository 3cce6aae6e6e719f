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

pid_t StartChild(const Scenario& scenario, const RunPlan& plan, const std::string& logPath, unsigned timeoutSeconds,
                 int* resultFd) {
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
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
        close(log);
    }
    sigset_t childExits;  // the runner waits for them; the run itself sees signals as usual
    sigemptyset(&childExits);
    sigaddset(&childExits, SIGCHLD);
    sigprocmask(SIG_UNBLOCK, &childExits, nullptr);
    alarm(timeoutSeconds);  // SIGALRM ends a run that no longer moves in real time
    if (!UsePolicy(plan.policy)) _exit(5);
    const Tally tally = scenario.run(plan);
    std::fflush(stdout);
    std::fflush(stderr);
    const ssize_t written = write(result[1], &tally, sizeof tally);
    _exit(written == static_cast<ssize_t>(sizeof tally) ? 0 : 4);
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

ChildOutcome CollectChild(int waitStatus, int resultFd, const std::string& logPath, const std::string& endedBy) {
    ChildOutcome outcome;
    outcome.logPath = logPath;
    const ssize_t got = read(resultFd, &outcome.tally, sizeof outcome.tally);
    close(resultFd);
    const bool exitedClean = WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
    outcome.passed = exitedClean && got == static_cast<ssize_t>(sizeof outcome.tally);
    std::ifstream file(logPath);
    std::stringstream text;
    text << file.rdbuf();
    // A thread still blocked when the machine shut down waited for something that never came: a hang
    // that the machine could not see because time still moved or the waiter was a system worker.
    const std::size_t stuck = text.str().find("still waits at shutdown");
    if (outcome.passed && stuck != std::string::npos) {
        outcome.passed = false;
        outcome.finding = text.str().substr(text.str().rfind('\n', stuck) == std::string::npos ? 0 : text.str().rfind('\n', stuck) + 1);
        outcome.finding = outcome.finding.substr(0, outcome.finding.find('\n') + 1);
    } else if (!outcome.passed) {
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
    }
    return outcome;
}

}  // namespace campaign
