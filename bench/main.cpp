// tarvelbench: figures of the whole stack on the emulated machine, in virtual time unless a figure says
// otherwise. Every scenario runs in a process of its own (the kernel is one per process, and a verifier
// stop in one scenario must not take the others with it).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "scenarios.h"

namespace tarvelbench {
namespace {

struct Options {
    bool smoke = false;
    bool list = false;
    std::vector<std::string> only;  // scenario name prefixes
    std::string json = "tarvelbench.json";
    std::string compare;
    std::string candidate;
};

const char* const kUsage =
    "usage: tarvelbench [--smoke] [--only PREFIX]... [--json FILE] [--compare BASELINE.json] [--candidate LABEL] [--list]\n"
    "  --smoke     a few seconds: one scenario of each kind (or those of --only), short windows, defaults only\n"
    "  --only      run the scenarios whose name starts with PREFIX (repeatable)\n"
    "  --json      where to write every figure with its settings and the commit (default tarvelbench.json)\n"
    "  --compare   print each figure's ratio to the figures of a baseline JSON file (bench/baseline.json)\n"
    "  --candidate run only the candidate settings of this label (\"defaults\", \"seg_big\", ...) in each scenario\n"
    "  --list      list the scenarios\n";

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--smoke") o->smoke = true;
        else if (a == "--list") o->list = true;
        else if (a == "--only" && hasValue) o->only.push_back(argv[++i]);
        else if (a == "--json" && hasValue) o->json = argv[++i];
        else if (a == "--compare" && hasValue) o->compare = argv[++i];
        else if (a == "--candidate" && hasValue) o->candidate = argv[++i];
        else return false;
    }
    return true;
}

std::vector<Scenario> AllScenarios() {
    std::vector<Scenario> all;
    for (auto group : {ThroughputScenarios, FastThroughputScenarios, LineRateScenarios, LatencyScenarios, SmallWriteScenarios}) {
        auto more = group();
        all.insert(all.end(), more.begin(), more.end());
    }
    return all;
}

// The smoke run: one scenario of each kind.
bool InSmoke(const std::string& name) {
    return name == "throughput.full.tx" || name == "throughput.full.rx" || name == "fast.high.tx.com" ||
           name == "fast.high.rx.pipe" || name == "linerate.115200" ||
           name == "latency.rx.full.mode2.poll0" || name == "latency.tx.full.direct" || name == "smallwrites.full.buffered";
}

bool Selected(const Options& o, const std::string& name) {
    if (o.smoke && o.only.empty() && !InSmoke(name)) return false;  // --only picks its own
    if (o.only.empty()) return true;
    for (const std::string& prefix : o.only)
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

// Runs the scenario in a child process; its figures come back one per line through a pipe.
bool RunIsolated(const Scenario& s, bool smoke, std::vector<Figure>* figures, std::string* error) {
    int fds[2];
    if (pipe(fds) != 0) {
        *error = "pipe failed";
        return false;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::FILE* out = fdopen(fds[1], "w");
        int status = 0;
        try {
            for (const Figure& f : s.run(smoke)) std::fprintf(out, "%s\n", EncodeFigure(f).c_str());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "tarvelbench: %s: %s\n", s.name.c_str(), e.what());
            status = 1;
        }
        std::fclose(out);
        std::fflush(nullptr);
        _exit(status);
    }
    close(fds[1]);
    std::FILE* in = fdopen(fds[0], "r");
    char line[4096];
    while (std::fgets(line, sizeof line, in)) {
        Figure f;
        if (DecodeFigure(line, &f)) figures->push_back(f);
    }
    std::fclose(in);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status)) : "failed";
        return false;
    }
    if (figures->empty()) {
        *error = "produced no figures";
        return false;
    }
    return true;
}

std::string Commit() {
    std::string text;
    if (std::FILE* p = popen("git -C \"" TARVEL_SOURCE_DIR "\" rev-parse --short HEAD 2>/dev/null", "r")) {
        char line[128];
        if (std::fgets(line, sizeof line, p)) text = line;
        pclose(p);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) return "unknown";
    if (std::FILE* p = popen("git -C \"" TARVEL_SOURCE_DIR "\" status --porcelain --untracked-files=no 2>/dev/null", "r")) {
        char line[8];
        if (std::fgets(line, sizeof line, p)) text += "+local changes";
        pclose(p);
    }
    return text;
}

const char* BuildKind() {
#if defined(__SANITIZE_ADDRESS__)
    return "AddressSanitizer+UndefinedBehaviorSanitizer";
#else
    return "unsanitized";
#endif
}

// A figure that says data moved: in a smoke run the harness works only if it does.
bool Moved(const std::vector<Figure>& figures) {
    for (const Figure& f : figures)
        if ((f.unit == "B/s" || f.unit == "calls/s" || f.unit == "%" || f.unit == "us") && f.value > 0) return true;
    return false;
}

int Main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::vector<Scenario> all = AllScenarios();
    SelectCandidate(o.candidate);
    if (o.list) {
        for (const Scenario& s : all) std::printf("%-32s %s\n", s.name.c_str(), s.what.c_str());
        return 0;
    }
    Figures figures;
    int failures = 0;
    for (const Scenario& s : all) {
        if (!Selected(o, s.name)) continue;
        std::fprintf(stderr, "running %s: %s\n", s.name.c_str(), s.what.c_str());
        std::vector<Figure> got;
        std::string error;
        if (!RunIsolated(s, o.smoke, &got, &error) || (o.smoke && !Moved(got))) {
            std::fprintf(stderr, "tarvelbench: scenario %s %s\n", s.name.c_str(), error.empty() ? "moved nothing" : error.c_str());
            ++failures;
        }
        figures.Append(got);
    }
    std::printf("tarvelbench: %s run, %s build, commit %s (virtual time unless the unit says cpu)\n\n",
                o.smoke ? "smoke" : "full", BuildKind(), Commit().c_str());
    figures.PrintTable(stdout);

    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    const std::map<std::string, std::string> run = {
        {"commit", Commit()}, {"build", BuildKind()}, {"mode", o.smoke ? "smoke" : "full"}, {"date", date},
        {"machine", "emulated: INF of package/, adapter model of platform/usb, far end bench/far_end.h"}};
    if (!figures.WriteJson(o.json, run)) {
        std::fprintf(stderr, "tarvelbench: cannot write %s\n", o.json.c_str());
        ++failures;
    } else {
        std::printf("\nfigures written to %s\n", o.json.c_str());
    }
    if (!o.compare.empty()) {
        const auto baseline = ReadBaseline(o.compare);
        if (baseline.empty()) {
            std::fprintf(stderr, "tarvelbench: no figures in baseline %s\n", o.compare.c_str());
            ++failures;
        } else {
            figures.PrintComparison(stdout, baseline);
        }
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

namespace {
std::string selectedCandidate;
}

void SelectCandidate(const std::string& label) { selectedCandidate = label; }

bool CandidateSelected(const std::string& label, bool smoke) {
    if (!selectedCandidate.empty()) return label == selectedCandidate;
    return !smoke || label == "defaults";
}

} // namespace tarvelbench

int main(int argc, char** argv) { return tarvelbench::Main(argc, argv); }
