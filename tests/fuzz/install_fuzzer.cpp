// libFuzzer target: the whole stack installed on a USB-serial adapter whose device and configuration
// descriptors come from the input (device_input.h). Each input boots a machine, plugs the adapter in
// (the PnP manager installs tarvelpipe and tarvelport from the package's INF), and if the install
// succeeds opens the port, sets it up, sends a few bytes through the loopback plug and reads them back,
// closes; then unplugs the adapter and shuts the machine down.
//
// The drivers must fail cleanly on any descriptor: a verifier stop or a sanitizer report ends the run
// as a crash, and so does (with __builtin_trap) a request that does not end, anything left behind at
// shutdown, or an emulated thread still blocked when the machine stops. A device that describes itself
// truthfully must carry the bytes, so that the target shows it still reaches the port.
#include <dirent.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "device_input.h"
#include "tarvel/machine/com_port.h"
#include "tarvel/machine/machine.h"
#include "tarvel/user/comm.h"

namespace installfuzz {
namespace {

namespace k = tarvel::kernel;
namespace m = tarvel::machine;
namespace u = tarvel::user;

[[noreturn]] void Fault(const std::string& what) {
    std::fprintf(stderr, "INSTALL FUZZER FINDING: %s\n", what.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

// The kernel's loader opens a driver module when its first device comes and closes it when the last
// one goes, each input. libFuzzer keeps the coverage counters of every module it has seen, so a module
// must never be unmapped: holding one more reference to each keeps it loaded, and the loader's opens
// and closes only count. A reloaded driver starts in DriverEntry as before, with its data as it was.
void KeepDriverModulesLoaded() {
    const char* fromEnvironment = std::getenv("TARVEL_DRIVER_DIR");
    const std::string dir = fromEnvironment && *fromEnvironment ? fromEnvironment : TARVEL_FUZZ_DRIVER_DIR;
    for (const char* service : {"tarvelpipe", "tarvelport"}) {
        const std::string path = dir + "/" + service + ".so";
        if (!dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            std::fprintf(stderr, "install fuzzer: cannot load %s: %s\n", path.c_str(), dlerror());
            std::exit(2);
        }
    }
}

// Host threads of this process: an emulated thread still blocked at shutdown is abandoned, parked for
// good, and stays in this count.
std::size_t HostThreads() {
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.') ++count;
        closedir(tasks);
    }
    return count;
}

// One overlapped request with its own event.
struct Request {
    u::OVERLAPPED ov{};
    Request() { ov.hEvent = u::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { u::CloseHandle(ov.hEvent); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    bool Ended() const { return static_cast<NTSTATUS>(ov.Internal) != STATUS_PENDING; }
};

// Waits for a request that was left in flight: `limitMs` of virtual time, then CancelIo and as long
// again. A request that cancellation does not end within that is a finding. Returns the call's result.
BOOL Finish(HANDLE port, Request& request, DWORD* bytes, DWORD limitMs, const char* what) {
    if (u::WaitForSingleObject(request.ov.hEvent, limitMs) != WAIT_OBJECT_0) {
        u::CancelIo(port);
        u::WaitForSingleObject(request.ov.hEvent, limitMs);
        if (!request.Ended()) Fault(std::string(what) + ": the request did not end after CancelIo");
    }
    return u::GetOverlappedResult(port, &request.ov, bytes, FALSE);
}

// Issues an overlapped call and finishes it; false if it failed (at once or when it ended).
template <class Call>
bool Transfer(HANDLE port, Call call, DWORD* bytes, const char* what) {
    Request request;
    if (call(&request.ov)) return u::GetOverlappedResult(port, &request.ov, bytes, FALSE) != FALSE;
    if (u::GetLastError() != ERROR_IO_PENDING) return false;
    return Finish(port, request, bytes, 1000, what) != FALSE;
}

bool ConfigurePort(HANDLE port) { return m::ConfigureComPort(port, 115200, {0, 0, 100, 0, 500}); }

// Open, set up, a few bytes out and back through the loopback plug, close. Failures are what a lying
// device may earn; with `mustCarry` (a truthful device) each is a finding.
void UsePort(m::Adapter& adapter, bool mustCarry) {
    const auto failed = [&](const std::string& what) {
        if (mustCarry) Fault("a truthful device: " + what + ", error " + std::to_string(u::GetLastError()));
    };
    HANDLE port = u::CreateFileA(("\\\\.\\" + adapter.ComName()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return failed(adapter.ComName() + " does not open");
    if (!ConfigurePort(port)) failed("settings refused");

    const char line[] = "tarvel fuzz line";
    const DWORD length = sizeof line - 1;
    DWORD written = 0;
    const bool wrote = Transfer(port, [&](u::LPOVERLAPPED ov) { return u::WriteFile(port, line, length, nullptr, ov); },
                                &written, "write");
    if (!wrote || written != length) failed("wrote " + std::to_string(written) + " of " + std::to_string(length) + " bytes");
    char echo[sizeof line] = {};
    DWORD got = 0;
    const bool read = Transfer(port, [&](u::LPOVERLAPPED ov) { return u::ReadFile(port, echo, length, nullptr, ov); },
                               &got, "read");
    if (!read || got != length || std::string(echo, got) != std::string(line, length))
        failed("the loopback returned " + std::to_string(got) + " of " + std::to_string(length) + " bytes");
    if (!u::CloseHandle(port)) Fault("CloseHandle of the port failed, error " + std::to_string(u::GetLastError()));
}

void Run(const DeviceInput& input) {
    m::MachineOptions options;
    options.boot.policy = k::Policy::Sequential;
    // An input takes well under a second of virtual time; a timer that re-arms forever stops soon.
    options.boot.timeBudget = 30 * k::kSecond;
    // To see what a finding did: TARVEL_FUZZ_TRACE=1 shows the kernel's trace and every request between
    // the drivers and the bus on standard error.
    if (std::getenv("TARVEL_FUZZ_TRACE")) {
        k::SetTraceSink([](const k::TraceEvent& e) {
            std::fprintf(stderr, "%12.6f %-18s %s\n", static_cast<double>(e.time) / k::kSecond, e.thread.c_str(), e.what.c_str());
        });
        options.requestTrace = [](const m::TracedRequest& r) { std::fprintf(stderr, "%s\n", m::FormatTracedRequest(r).c_str()); };
    }
    m::Machine machine(options);

    bool truthful = false;
    m::AdapterOptions adapterOptions;
    adapterOptions.speed = input.highSpeed ? tarvel::usb::Speed::High : tarvel::usb::Speed::Full;
    adapterOptions.remoteWakeup = input.remoteWakeup;
    adapterOptions.prepareModel = [&](tarvel::usb::SerialAdapter& model) {
        truthful = model.DeviceDescriptor() == input.deviceDescriptor &&
                   model.ConfigurationDescriptor() == input.configurationDescriptor;
        model.ServeDeviceDescriptor(input.deviceDescriptor);
        model.ServeConfigurationDescriptor(input.configurationDescriptor);
    };
    m::Adapter& adapter = machine.Plug(adapterOptions);
    if (adapter.Started()) UsePort(adapter, truthful);
    else if (truthful) Fault("a truthful device did not install, status " + std::to_string(adapter.InstallStatus()));

    machine.Unplug(adapter);
    const m::TeardownReport report = machine.Shutdown();
    if (!report.Clean()) {
        std::string left;
        for (const std::string& finding : report.Findings()) left += "\n  " + finding;
        Fault("left behind at shutdown:" + left);
    }
}

}  // namespace
}  // namespace installfuzz

// --images=module|pe picks the build of the drivers the inputs install (TARVEL_IMAGES does too);
// libFuzzer leaves flags that start with "--" to the target. The Windows images are not instrumented,
// so only the modules need to stay loaded for their coverage.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    namespace k = tarvel::kernel;
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = (*argv)[i];
        if (arg.rfind("--images=", 0) != 0) continue;
        k::ImageKind kind;
        if (!k::ParseImageKind(arg.substr(9), kind)) {
            std::fprintf(stderr, "install fuzzer: %s: expected --images=module or --images=pe\n", arg.c_str());
            std::exit(2);
        }
        k::SetImageKind(kind);
    }
    if (k::CurrentImageKind() == k::ImageKind::Module) installfuzz::KeepDriverModulesLoaded();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto input = installfuzz::DecodeDeviceInput(std::span(data, size));
    if (!input) return 0;
    const std::size_t threads = installfuzz::HostThreads();
    installfuzz::Run(*input);
    if (installfuzz::HostThreads() > threads) installfuzz::Fault("an emulated thread was still blocked at shutdown");
    return 0;
}
