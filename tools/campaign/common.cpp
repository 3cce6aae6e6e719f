// The application-side steps the scenarios share.
#include "campaign.h"
#include "bogus_requests.h"
#include "tarvel/machine/com_port.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace campaign {

void Finding(const std::string& what) {
    std::fprintf(stderr, "CAMPAIGN FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    _exit(3);
}

namespace {
bool gTrace = false;
std::string gPolicy = "random";
}
void SetTraceKernel(bool on) { gTrace = on; }

bool UsePolicy(const std::string& policy) {
    k::BootOptions probe;
    if (!k::ParsePolicy(policy, probe)) return false;
    gPolicy = policy;
    return true;
}

m::MachineOptions RandomMachine(std::uint64_t seed) {
    // Force pending under pct as well as under random (the kernel's own default is random only); an
    // explicit TARVEL_FORCE_PENDING in the environment still wins, and the replay line carries it.
    setenv("TARVEL_FORCE_PENDING", "on", 0);
    m::MachineOptions options;
    options.boot.policy = k::Policy::Random;
    // A run of a scenario takes some tens of thousands of switch points: pct draws its change points
    // over that range unless the policy names its own.
    options.boot.pctSteps = 40'000;
    k::ParsePolicy(gPolicy, options.boot);
    options.boot.seed = seed;
    SeedBogusRequests(seed);
    // A run lasts well under a minute of virtual time; a wait that never ends shows as a runaway soon.
    options.boot.timeBudget = 120 * k::kSecond;
    if (gTrace)
        k::SetTraceSink([](const k::TraceEvent& e) {
            std::fprintf(stderr, "%12.6f %-18s %s\n", static_cast<double>(e.time) / k::kSecond, e.thread.c_str(), e.what.c_str());
        });
    return options;
}

void CheckNothingLeftBehind(m::Machine& machine, const std::string& when) {
    const m::TeardownReport report = machine.Inspect();
    std::string left;
    for (const auto& f : report.Findings()) left += "\n  " + f;
    CAMPAIGN_CHECK(report.Clean(), when + ": left behind:" + left);
}

void ShutdownClean(m::Machine& machine) {
    const m::TeardownReport report = machine.Shutdown();
    std::string left;
    for (const auto& f : report.Findings()) left += "\n  " + f;
    CAMPAIGN_CHECK(report.Clean(), "at shutdown, left behind:" + left);
}

std::uint64_t Mix(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (stream + 1);  // splitmix64
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void Sleep(k::VirtualTime duration) { k::RunFor(duration); }

void Threads::Start(std::string name, std::function<void()> body) {
    auto done = std::make_shared<bool>(false);
    threads_.push_back({name, done});
    k::StartThread(std::move(name), [body = std::move(body), done] {
        body();
        *done = true;
    });
}

std::string Threads::Join(k::VirtualTime limit) {
    const k::VirtualTime deadline = k::Now() + limit;
    for (;;) {
        std::string running;
        for (const Entry& t : threads_)
            if (!*t.done) running += (running.empty() ? "" : ", ") + t.name;
        if (running.empty() || k::Now() >= deadline) return running;
        Sleep(k::kMillisecond);
    }
}

HANDLE OpenPort(const std::string& comName) {
    return u::CreateFileA(("\\\\.\\" + comName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
}

bool ConfigurePort(HANDLE port, DWORD readTimeoutMs) {
    return m::ConfigureComPort(port, 115200, {0, 0, readTimeoutMs, 0, 1000});
}

Overlapped::Overlapped() { ov.hEvent = u::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
Overlapped::~Overlapped() { u::CloseHandle(ov.hEvent); }

BOOL Finish(HANDLE port, Overlapped& request, DWORD* bytes, DWORD limitMs, const char* what) {
    if (u::WaitForSingleObject(request.ov.hEvent, limitMs) != WAIT_OBJECT_0) {
        if (!request.Completed()) u::CancelIo(port);
    }
    const BOOL ok = u::GetOverlappedResult(port, &request.ov, bytes, TRUE);
    const DWORD error = u::GetLastError();
    CAMPAIGN_CHECK(request.Completed(), std::string(what) + ": the wait returned with the request still pending");
    u::SetLastError(error);
    return ok;
}

// The port is exclusive, and the file object an application has just closed can still be held for a
// moment: the completion of its last request wakes the application before it lets go of the file, and
// IRP_MJ_CLOSE follows the last reference, as on Windows. An application that opens the port again at
// once then sees ERROR_ACCESS_DENIED for that moment, and tries again; the check does the same, for
// far longer than any completion takes.
HANDLE ReopenPort(const std::string& comName) {
    HANDLE port = OpenPort(comName);
    for (int i = 0; i < 10 && port == INVALID_HANDLE_VALUE && u::GetLastError() == ERROR_ACCESS_DENIED; ++i) {
        Sleep(10 * k::kMillisecond);
        port = OpenPort(comName);
    }
    return port;
}

void ProvePortWorks(m::Adapter& adapter, const std::string& what, Tally& tally) {
    CAMPAIGN_CHECK(adapter.Started(), what + ": the adapter's stack is not started");
    HANDLE port = ReopenPort(adapter.ComName());
    CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE,
                   what + ": " + adapter.ComName() + " does not open, error " + std::to_string(u::GetLastError()));
    CAMPAIGN_CHECK(ConfigurePort(port, 500), what + ": settings refused, error " + std::to_string(u::GetLastError()));
    CAMPAIGN_CHECK(u::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR), what + ": purge refused");
    // Requests no driver knows meet the check's transfers.
    Threads bogus;
    unsigned bogusSent = 0;
    bogus.Start("bogus-requests", [&bogusSent] { bogusSent = SendBogusRequests(3); });
    const std::string line = "campaign check " + std::to_string(tally.cycles);
    Overlapped write;
    DWORD written = 0;
    if (!u::WriteFile(port, line.data(), static_cast<DWORD>(line.size()), nullptr, &write.ov))
        CAMPAIGN_CHECK(u::GetLastError() == ERROR_IO_PENDING, what + ": write refused, error " + std::to_string(u::GetLastError()));
    CAMPAIGN_CHECK(Finish(port, write, &written, 2000, "check write") && written == line.size(),
                   what + ": write of " + std::to_string(line.size()) + " bytes ended with " + std::to_string(written) +
                       ", error " + std::to_string(u::GetLastError()));
    std::string echo(line.size(), '\0');
    Overlapped read;
    DWORD got = 0;
    if (!u::ReadFile(port, echo.data(), static_cast<DWORD>(echo.size()), nullptr, &read.ov))
        CAMPAIGN_CHECK(u::GetLastError() == ERROR_IO_PENDING, what + ": read refused, error " + std::to_string(u::GetLastError()));
    const BOOL readOk = Finish(port, read, &got, 2000, "check read");
    CAMPAIGN_CHECK(readOk && got == line.size() && echo == line,
                   what + ": the loopback returned " + std::to_string(got) + " of " + std::to_string(line.size()) +
                       " bytes (\"" + echo.substr(0, got) + "\"), error " + std::to_string(u::GetLastError()));
    CAMPAIGN_CHECK(bogus.Join(10 * k::kSecond).empty(), what + ": requests of unknown minor functions did not come back");
    tally.requests += bogusSent;
    CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
    tally.requests += 7;
}

}  // namespace campaign
