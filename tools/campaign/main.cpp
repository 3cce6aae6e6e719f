// tarvel-campaign: the reliability campaign. Runs each scenario under many seeds of the random and the
// pct scheduling policies (by turns), with the verifier on, every seed on a fresh machine in a child
// process (several in turn in each; a finding is always reported from a run alone), and prints a summary
// table (scenario, seeds, cycles, requests, faults injected, findings). Every finding comes with its
// seed, the lines that name it, the run's log and the command that replays it.
//
//   tarvel-campaign                 the short configuration (CI)
//   tarvel-campaign --long          the long configuration
//   tarvel-campaign --help          every option
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "child_run.h"
#include "scenarios.h"

namespace campaign {
namespace {

struct Options {
    bool longRun = false;
    bool replay = false;
    std::uint64_t firstSeed = 1;
    int seeds = 0;     // 0: the configuration's count per scenario
    int cycles = 0;    // 0: the configuration's count
    unsigned jobs = 2;
    unsigned runsPerChild = 16;  // seeds one child process runs in turn, each on a fresh machine
    std::uint64_t plantedSeed = 0;   // the runner's own tests: this seed's run fails ...
    PlantedFinding planted = PlantedFinding::None;  // ... always, or only after others in its process
    unsigned timeout = 0;        // real seconds per child; 0: the configuration's
    std::size_t memoryLimitMb = 2048;  // resident memory per child, after which the runner ends it
    double timeBudget = 0;       // real seconds after which no new run starts; 0: none
    unsigned sweepLimit = ~0u;   // low-resource attempts per phase; ~0: the configuration's
    std::string only;            // run the scenarios whose row name contains this
    std::string logDir = "campaign-logs";
    std::vector<std::string> policies = {"random", "pct"};  // seeds take them by turns
    RunPlan plan;                // --replay
    std::string scenario;        // --replay
};

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = {
        {"pnp", "disable/enable, rebalance, surprise removal and re-plug with I/O in flight", RunPnpCycles},
        {"sleep", "system sleep and resume (S1-S4, remote wake-up) with I/O in flight", RunSleepCycles},
        {"fuzz.codes", "every serial and private control code, boundary and random lengths", RunControlCodeFuzz},
        {"fuzz.sequences", "random calls from three application threads on one port", RunSequenceFuzz},
        {"lowres", "one allocation attempt failed per run, or a few percent at random", RunLowResources},
        {"hostile", "stalls, long NAKs, babble, wrong lengths, lying descriptors, drop-outs mid-transfer", RunHostileDevice},
        {"pairs", "two operations at once from separate threads, every pair over consecutive seeds", RunOperationPairs},
    };
    return all;
}

const Scenario* FindScenario(const std::string& name) {
    for (const auto& s : Scenarios())
        if (s.name == name) return &s;
    return nullptr;
}

struct Job {
    const Scenario* scenario;
    std::string row;  // the summary table's row
    RunPlan plan;
};

std::string ReplayCommand(const Job& job) {
    std::string command;
    // The race suite's runs load the instrumented modules: the replay must load them too.
    if (const char* drivers = std::getenv("TARVEL_DRIVER_DIR"); drivers && *drivers)
        command = std::string("TARVEL_DRIVER_DIR=") + drivers + " ";
    command += "tarvel-campaign --replay --scenario " + job.scenario->name + " --policy " +
                          job.plan.policy + " --seed " + std::to_string(job.plan.seed) + " --cycles " +
                          std::to_string(job.plan.cycles);
    if (!job.plan.phase.empty()) command += " --phase " + job.plan.phase;
    if (job.plan.faultSite >= 0)
        command += " --site " + std::to_string(job.plan.faultSite) + " --nth " + std::to_string(job.plan.faultNth);
    if (job.plan.faultRate > 0) command += " --rate " + std::to_string(job.plan.faultRate);
    if (job.plan.skipOpenPairs) command += " --skip-open-pairs";
    return command;
}

struct Row {
    std::uint64_t seeds = 0, cycles = 0, requests = 0, faults = 0, findings = 0;
};

struct Finding {
    std::string row;
    Job job;
    ChildOutcome outcome;
};

class Runner {
public:
    explicit Runner(const Options& options) : options_(options), started_(std::chrono::steady_clock::now()) {
        std::filesystem::create_directories(options.logDir);
        // A child's end is waited for with a timeout (to watch the memory of those still running).
        sigemptyset(&childExits_);
        sigaddset(&childExits_, SIGCHLD);
        sigprocmask(SIG_BLOCK, &childExits_, nullptr);
    }

    // Runs the jobs, at most options.jobs children at a time, each child taking up to
    // options.runsPerChild of them in turn; returns the outcomes in job order. The jobs a child did not
    // get to go to the next child. A run that fails after others in the same child is run again alone,
    // and that run is the one reported: a finding must replay from its seed in a fresh process.
    std::vector<ChildOutcome> Run(const std::vector<Job>& jobs, bool count = true) {
        std::vector<ChildOutcome> outcomes(jobs.size());
        struct Pending {
            std::size_t job;
            bool alone = false;          // again on its own, after it failed in a child's later run
            ChildOutcome afterOthers;    // then: how it failed there
        };
        std::deque<Pending> pending;
        for (std::size_t i = 0; i < jobs.size(); ++i) pending.push_back({i, false, {}});
        struct Child {
            std::vector<Pending> runs;
            std::vector<ChildRun> plan;
            int fd;
        };
        std::map<pid_t, Child> running;
        while (!pending.empty() || !running.empty()) {
            // Out of time, no new run starts; a failed run still gets its run alone.
            while (!pending.empty() && running.size() < options_.jobs && (!OutOfTime() || pending.front().alone)) {
                Child child;
                // Near the end the children share what is left, so that none runs on alone for long.
                const std::size_t most = std::clamp<std::size_t>(pending.size() / options_.jobs, 1, options_.runsPerChild);
                while (!pending.empty() && child.runs.size() < most && !pending.front().alone) {
                    child.runs.push_back(pending.front());
                    pending.pop_front();
                }
                if (child.runs.empty()) {  // a run to repeat alone
                    child.runs.push_back(pending.front());
                    pending.pop_front();
                }
                for (const Pending& p : child.runs) {
                    const Job& job = jobs[p.job];
                    const bool planted = options_.plantedSeed != 0 && job.plan.seed == options_.plantedSeed;
                    child.plan.push_back({job.scenario, job.plan, LogPath(job, p.job, p.alone),
                                          planted ? options_.planted : PlantedFinding::None});
                }
                const pid_t pid = StartChild(child.plan, Timeout(), (options_.memoryLimitMb << 20) / 2, Deadline(),
                                             &child.fd);
                if (pid < 0) {
                    std::perror("fork");
                    std::exit(2);
                }
                running[pid] = std::move(child);
            }
            if (running.empty()) break;  // out of time
            int status = 0;
            const pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid == 0) {
                EndChildrenOverMemory(running);
                const timespec tick{0, 100'000'000};
                sigtimedwait(&childExits_, nullptr, &tick);
                continue;
            }
            auto it = running.find(pid);
            if (it == running.end()) continue;
            Child child = std::move(it->second);
            running.erase(it);
            std::string endedBy;
            if (auto over = overMemory_.find(pid); over != overMemory_.end()) {
                endedBy = over->second;
                overMemory_.erase(over);
            }
            const std::vector<ChildOutcome> done = CollectChild(status, child.fd, child.plan, endedBy);
            for (std::size_t r = child.runs.size(); r-- > done.size();) pending.push_front(child.runs[r]);
            for (std::size_t r = 0; r < done.size(); ++r) {
                const Pending& run = child.runs[r];
                ChildOutcome outcome = done[r];
                if (!outcome.passed && r > 0) {  // it ended the child: the last of done
                    pending.push_front({run.job, true, outcome});
                    continue;
                }
                if (run.alone && outcome.passed) {
                    // Only after other runs in the same process: something outlived its machine.
                    std::filesystem::remove(outcome.logPath);
                    outcome = run.afterOthers;
                    outcome.finding = "fails only after other runs in the same process, passes alone (state "
                                      "carried from one machine to the next):\n" + outcome.finding;
                } else if (run.alone) {
                    std::filesystem::remove(run.afterOthers.logPath);
                }
                outcomes[run.job] = outcome;
                if (count) Record(jobs[run.job], outcome);
                if (outcome.passed) std::filesystem::remove(outcome.logPath);
            }
        }
        return outcomes;
    }

    // A run that holds more than the limit is ended (a finding, with its seed), before it takes the
    // machine's memory from the other runs.
    template <typename Children>
    void EndChildrenOverMemory(const Children& running) {
        const std::size_t limit = options_.memoryLimitMb << 20;
        for (const auto& [pid, job] : running) {
            const std::size_t resident = ResidentBytes(pid);
            if (resident <= limit || overMemory_.count(pid)) continue;
            overMemory_[pid] = "ended by the runner: " + std::to_string(resident >> 20) +
                               " MB resident, over the limit of " + std::to_string(options_.memoryLimitMb) + " MB";
            kill(pid, SIGKILL);
        }
    }

    std::chrono::steady_clock::time_point Deadline() const {
        if (options_.timeBudget <= 0) return std::chrono::steady_clock::time_point::max();
        return started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(options_.timeBudget));
    }
    bool OutOfTime() const { return std::chrono::steady_clock::now() > Deadline(); }

    int Report() const {
        std::printf("\n%-18s %8s %8s %12s %8s %9s\n", "scenario", "seeds", "cycles", "requests", "faults", "findings");
        std::printf("%s\n", std::string(68, '-').c_str());
        Row total;
        for (const auto& name : order_) {
            const Row& r = rows_.at(name);
            std::printf("%-18s %8llu %8llu %12llu %8llu %9llu\n", name.c_str(), (unsigned long long)r.seeds,
                        (unsigned long long)r.cycles, (unsigned long long)r.requests, (unsigned long long)r.faults,
                        (unsigned long long)r.findings);
            total.seeds += r.seeds, total.cycles += r.cycles, total.requests += r.requests, total.faults += r.faults,
                total.findings += r.findings;
        }
        std::printf("%s\n", std::string(68, '-').c_str());
        std::printf("%-18s %8llu %8llu %12llu %8llu %9llu\n", "total", (unsigned long long)total.seeds,
                    (unsigned long long)total.cycles, (unsigned long long)total.requests,
                    (unsigned long long)total.faults, (unsigned long long)total.findings);
        std::printf("real time %.1f s%s\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count(),
                    OutOfTime() ? " (time budget reached: runs not started were skipped)" : "");
        for (const Finding& f : findings_) {
            std::printf("\nFINDING in %s, seed %llu:\n%s  log:    %s\n  replay: %s\n", f.row.c_str(),
                        (unsigned long long)f.job.plan.seed, Indent(f.outcome.finding).c_str(), f.outcome.logPath.c_str(),
                        ReplayCommand(f.job).c_str());
        }
        std::fflush(stdout);
        return findings_.empty() ? 0 : 1;
    }

    void AddRow(const std::string& row) {
        if (!rows_.count(row)) {
            rows_[row] = {};
            order_.push_back(row);
        }
    }

private:
    static std::string Indent(const std::string& text) {
        std::string out;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            out += "  " + text.substr(start, end - start) + "\n";
            if (end == std::string::npos) break;
            start = end + 1;
        }
        return out;
    }
    std::string LogPath(const Job& job, std::size_t index, bool alone = false) const {
        std::string row = job.row;
        for (char& c : row)
            if (c == '/' || c == ' ') c = '_';
        return options_.logDir + "/" + row + "-seed" + std::to_string(job.plan.seed) + "-" + std::to_string(index) +
               "-" + std::to_string(getpid()) + (alone ? "-alone" : "") + ".log";
    }
    unsigned Timeout() const { return options_.timeout ? options_.timeout : (options_.longRun ? 600 : 120); }
    void Record(const Job& job, const ChildOutcome& outcome) {
        AddRow(job.row);
        Row& r = rows_[job.row];
        ++r.seeds;
        r.cycles += outcome.tally.cycles;
        r.requests += outcome.tally.requests;
        r.faults += outcome.tally.faults;
        if (!outcome.passed) {
            ++r.findings;
            findings_.push_back({job.row, job, outcome});
            std::fprintf(stderr, "finding: %s seed %llu: %s", job.row.c_str(), (unsigned long long)job.plan.seed,
                         outcome.finding.c_str());
        }
    }

    const Options& options_;
    std::chrono::steady_clock::time_point started_;
    sigset_t childExits_;
    std::map<pid_t, std::string> overMemory_;  // children ended for their memory, and the reason
    std::map<std::string, Row> rows_;
    std::vector<std::string> order_;
    std::vector<Finding> findings_;
};

// How many seeds and cycles each scenario gets in the two configurations.
struct Size {
    int seeds, cycles;
};
Size SizeOf(const std::string& name, const Options& o) {
    static const std::map<std::string, std::pair<Size, Size>> sizes = {
        {"pnp", {{6, 4}, {400, 12}}},          {"sleep", {{4, 4}, {300, 12}}},
        {"fuzz.codes", {{2, 1}, {60, 3}}},     {"fuzz.sequences", {{4, 2}, {300, 4}}},
        {"lowres.random", {{6, 1}, {400, 1}}}, {"hostile", {{4, 3}, {300, 6}}},
        {"pairs", {{8, 3}, {600, 3}}},
    };
    const auto& pair = sizes.at(name);
    Size size = o.longRun ? pair.second : pair.first;
    if (o.seeds > 0) size.seeds = o.seeds;
    if (o.cycles > 0) size.cycles = o.cycles;
    return size;
}

bool Selected(const Options& o, const std::string& row) { return o.only.empty() || row.find(o.only) != std::string::npos; }

// A row per policy ("pnp random", "pnp pct"); the seeds of the scenario take the policies by turns.
std::string PolicyRow(const std::string& row, const std::string& policy) {
    return row + " " + policy.substr(0, policy.find(':'));
}

void AddSeeded(std::vector<Job>& jobs, const Options& o, const std::string& row, const std::string& scenario,
               std::uint64_t stream, RunPlan base = {}) {
    const Size size = SizeOf(row, o);
    for (int i = 0; i < size.seeds; ++i) {
        RunPlan plan = base;
        plan.policy = o.policies[static_cast<std::size_t>(i) % o.policies.size()];
        plan.seed = o.firstSeed + stream * 1'000'000 + static_cast<std::uint64_t>(i);
        plan.cycles = static_cast<unsigned>(size.cycles);
        const std::string policyRow = PolicyRow(row, plan.policy);
        if (Selected(o, policyRow)) jobs.push_back({FindScenario(scenario), policyRow, plan});
    }
}

// The low-resource sweep: a counting run per phase, then one run per allocation attempt (every one in
// the long configuration, an even sample in the short one), each failing that attempt only.
std::vector<Job> SweepJobs(Runner& runner, const Options& o) {
    const Scenario* lowres = FindScenario("lowres");
    std::vector<Job> counting;
    for (const std::string& phase : LowResourcePhases()) {
        if (!Selected(o, "lowres." + phase)) continue;
        RunPlan plan;
        plan.policy = o.policies.front();
        plan.seed = o.firstSeed + 9'000'000;
        plan.phase = phase;
        counting.push_back({lowres, "lowres." + phase, plan});
    }
    const std::vector<ChildOutcome> counts = runner.Run(counting, false);
    const unsigned limit = o.sweepLimit != ~0u ? o.sweepLimit : (o.longRun ? 0 : 12);
    std::vector<Job> jobs;
    for (std::size_t p = 0; p < counting.size(); ++p) {
        runner.AddRow(counting[p].row);
        if (!counts[p].passed) {  // the phase fails without faults: report it through a normal run
            jobs.push_back(counting[p]);
            continue;
        }
        std::vector<std::pair<int, unsigned>> attempts;
        for (std::size_t s = 0; s < kFaultSites; ++s)
            for (std::uint64_t n = 1; n <= counts[p].tally.siteCalls[s]; ++n)
                attempts.push_back({static_cast<int>(s), static_cast<unsigned>(n)});
        const std::size_t take = limit == 0 ? attempts.size() : std::min<std::size_t>(limit, attempts.size());
        for (std::size_t i = 0; i < take; ++i) {
            const auto [site, nth] = attempts[i * attempts.size() / take];
            Job job = counting[p];
            job.plan.faultSite = site;
            job.plan.faultNth = nth;
            jobs.push_back(job);
        }
    }
    return jobs;
}

void Usage() {
    std::printf(
        "usage: tarvel-campaign [--long] [options]\n"
        "  --long             the long configuration (default: the short one, for CI)\n"
        "  --seeds N          seeds per scenario instead of the configuration's\n"
        "  --cycles N         cycles (rounds) per seed instead of the configuration's\n"
        "  --first-seed N     first seed (default 1)\n"
        "  --policy P[,P...]  scheduling policies, taken by turns by the seeds of a scenario: random, pct,\n"
        "                     pct:DEPTH or pct:DEPTH:STEPS (default random,pct); the sweep runs the first\n"
        "  --jobs N           child processes at a time (default 2)\n"
        "  --runs-per-child N seeds one child runs in turn, each on a fresh machine (default 16; 1: a\n"
        "                     process per seed). A finding after other runs is run again alone\n"
        "  --plant-finding SEED, --plant-finding-after-others SEED\n"
        "                     the runner's own tests: that seed's run fails, always or only after\n"
        "                     other runs in its process\n"
        "  --only TEXT        only the rows whose name contains TEXT (pnp, sleep, fuzz, lowres.stream, ...)\n"
        "  --sweep-limit N    low-resource runs per phase (0: every allocation attempt)\n"
        "  --time-budget SEC  start no new run after SEC seconds of real time\n"
        "  --timeout SEC      real-time limit of one run\n"
        "  --memory-limit MB  resident memory of one run, past which it is ended as a finding (default 2048)\n"
        "  --log-dir DIR      where the logs of failed runs go (default campaign-logs)\n"
        "  --trace            with --replay: the kernel's trace on standard error\n"
        "  --replay --scenario NAME --seed N [--cycles N --phase P --site S --nth N --rate R --skip-open-pairs]\n"
        "                     one run in the foreground, its log on standard error\n"
        "scenarios: ");
    for (const auto& s : Scenarios()) std::printf("%s ", s.name.c_str());
    std::printf("\n");
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--long") o.longRun = true;
        else if (a == "--short") o.longRun = false;
        else if (a == "--replay") o.replay = true;
        else if (a == "--trace") SetTraceKernel(true);
        else if (a == "--seeds") o.seeds = std::stoi(value());
        else if (a == "--cycles") o.cycles = std::stoi(value());
        else if (a == "--first-seed") o.firstSeed = std::stoull(value());
        else if (a == "--policy") {
            o.policies.clear();
            const std::string list = value();
            for (std::size_t start = 0; start <= list.size();) {
                const std::size_t end = std::min(list.find(',', start), list.size());
                const std::string policy = list.substr(start, end - start);
                if (!UsePolicy(policy)) {
                    std::fprintf(stderr, "unknown policy '%s' (random, pct, pct:DEPTH, pct:DEPTH:STEPS)\n", policy.c_str());
                    return false;
                }
                o.policies.push_back(policy);
                start = end + 1;
            }
            o.plan.policy = o.policies.front();
        }
        else if (a == "--jobs") o.jobs = std::max(1, std::stoi(value()));
        else if (a == "--runs-per-child") o.runsPerChild = static_cast<unsigned>(std::max(1, std::stoi(value())));
        else if (a == "--plant-finding" || a == "--plant-finding-after-others") {
            o.plantedSeed = std::stoull(value());
            o.planted = a == "--plant-finding" ? PlantedFinding::Always : PlantedFinding::AfterOtherRuns;
        }
        else if (a == "--only") o.only = value();
        else if (a == "--sweep-limit") o.sweepLimit = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--time-budget") o.timeBudget = std::stod(value());
        else if (a == "--timeout") o.timeout = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--memory-limit") o.memoryLimitMb = std::max<std::size_t>(1, std::stoul(value()));
        else if (a == "--log-dir") o.logDir = value();
        else if (a == "--scenario") o.scenario = value();
        else if (a == "--seed") o.plan.seed = std::stoull(value());
        else if (a == "--phase") o.plan.phase = value();
        else if (a == "--site") o.plan.faultSite = std::stoi(value());
        else if (a == "--nth") o.plan.faultNth = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--rate") o.plan.faultRate = std::stod(value());
        else if (a == "--skip-open-pairs") o.plan.skipOpenPairs = true;
        else if (a == "--help" || a == "-h") {
            Usage();
            std::exit(0);
        } else {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            Usage();
            return false;
        }
    }
    return true;
}

int Replay(const Options& o) {
    const Scenario* scenario = FindScenario(o.scenario);
    if (!scenario) {
        std::fprintf(stderr, "unknown scenario '%s'\n", o.scenario.c_str());
        return 2;
    }
    RunPlan plan = o.plan;
    plan.cycles = o.cycles > 0 ? static_cast<unsigned>(o.cycles) : plan.cycles;
    UsePolicy(plan.policy);
    const Tally tally = scenario->run(plan);  // in the foreground: a stop shows here as it happens
    std::printf("%s, %s seed %llu passed: %llu cycles, %llu requests, %llu faults injected\n", o.scenario.c_str(),
                plan.policy.c_str(), (unsigned long long)plan.seed, (unsigned long long)tally.cycles, (unsigned long long)tally.requests,
                (unsigned long long)tally.faults);
    return 0;
}

// AddressSanitizer records the call stack of every allocation and free, 30 frames deep by default: a
// fifth of a run's time. The runner only needs to know that a run failed; its replay, a process of its
// own started without this, names the allocation and free in full. The flag is read when a process
// starts, so the runner starts itself again with it (once: it is then in the environment).
void UseShortAllocationStacks(char** argv) {
#if defined(__SANITIZE_ADDRESS__)
    const char* current = std::getenv("ASAN_OPTIONS");
    const std::string options = current ? current : "";
    if (options.find("malloc_context_size") != std::string::npos) return;
    const std::string shortened = options + (options.empty() ? "" : ":") + "malloc_context_size=4";
    setenv("ASAN_OPTIONS", shortened.c_str(), 1);
    execv("/proc/self/exe", argv);
    setenv("ASAN_OPTIONS", options.c_str(), 1);  // not started again: go on as it was
    if (!current) unsetenv("ASAN_OPTIONS");
#else
    (void)argv;
#endif
}

}  // namespace
}  // namespace campaign

int main(int argc, char** argv) {
    using namespace campaign;
    Options o;
    if (!Parse(argc, argv, o)) return 2;
    if (o.replay) return Replay(o);
    UseShortAllocationStacks(argv);
    std::string policies;
    for (const auto& p : o.policies) policies += (policies.empty() ? "" : " and ") + p;
    std::printf("tarvel-campaign: %s configuration, %s policies by turns, verifier on, %u runs at a time\n",
                o.longRun ? "long" : "short", policies.c_str(), o.jobs);
    Runner runner(o);
    std::vector<Job> jobs;
    AddSeeded(jobs, o, "pnp", "pnp", 1);
    AddSeeded(jobs, o, "sleep", "sleep", 2);
    AddSeeded(jobs, o, "fuzz.codes", "fuzz.codes", 3);
    AddSeeded(jobs, o, "fuzz.sequences", "fuzz.sequences", 4);
    for (const auto& j : jobs) runner.AddRow(j.row);
    std::vector<Job> sweep = SweepJobs(runner, o);
    jobs.insert(jobs.end(), sweep.begin(), sweep.end());
    RunPlan random;
    random.phase = "surprise";
    random.faultRate = 0.03;
    std::vector<Job> tail;
    AddSeeded(tail, o, "lowres.random", "lowres", 5, random);
    const std::size_t phases = LowResourcePhases().size();
    for (std::size_t i = 0; i < tail.size(); ++i) tail[i].plan.phase = LowResourcePhases()[i % phases];
    AddSeeded(tail, o, "hostile", "hostile", 6);
    // The short configuration leaves out the operation pairs whose findings are not fixed yet, so that CI
    // keeps guarding the others; the long one runs every pair.
    RunPlan pairs;
    pairs.skipOpenPairs = !o.longRun;
    AddSeeded(tail, o, "pairs", "pairs", 7, pairs);
    for (const auto& j : tail) runner.AddRow(j.row);
    jobs.insert(jobs.end(), tail.begin(), tail.end());
    // Interleave the rows, so that a run cut short by its time budget has covered every scenario.
    std::map<std::string, std::size_t> ranks;
    std::vector<std::pair<std::size_t, std::size_t>> order;  // rank within its row, job
    for (std::size_t i = 0; i < jobs.size(); ++i) order.push_back({ranks[jobs[i].row]++, i});
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Job> interleaved;
    for (const auto& entry : order) interleaved.push_back(jobs[entry.second]);
    runner.Run(interleaved);
    return runner.Report();
}
