// Operation pairs: two operations from the list below run at the same time, each on an application
// thread of its own, for a stretch of virtual time, each repeating itself; then every request must have
// ended, the port must carry data again, and nothing may be left behind at shutdown. When neither
// operation makes requests fail (the port kept, the device kept in service), the bytes written must come
// back through the loopback plug exactly once and in order.
//
// The seed chooses the pairs: cycle c of seed s runs pair (3s + c) mod kPairs of the kPairs = 78
// unordered pairs of distinct operations, so with three cycles a seed (the configurations' count) 26
// consecutive seeds cover every pair, whatever the first.
//
// The COM port is exclusive, so the operations that use it share one handle (the stage's). An operation
// holds the handle only for the request it makes (a lease); one that closes it (open and close, a
// surprise removal) first takes it from the stage and waits for the leases to end, as an application
// does that does not pull a handle from under its own threads.
#include <array>
#include <algorithm>
#include <cstdio>
#include <ntddk.h>
#include <utility>

#include "pipeioctl.h"
#include "scenarios.h"
#include "tarvel/io.h"
#include "tarvel/pnp.h"
#include "tarvel/user/files.h"
#include "usb/serial/serial_adapter.h"

namespace campaign {

namespace {

namespace usb = tarvel::usb;
namespace pnp = tarvel::pnp;
using SerialModel = usb::SerialAdapter;

k::VirtualTime Ms(std::uint64_t n) { return static_cast<k::VirtualTime>(n) * k::kMillisecond; }

enum Op {
    OpenClose,
    ReadsWrites,
    Purge,
    Settings,
    WaitOnMask,
    ClientSuspend,
    DisableEnable,
    Rebalance,
    SurpriseReplug,
    SystemSleep,
    RemoteWake,
    NakOrStall,
    BusRequestFails,
    kOps
};
constexpr unsigned kPairs = kOps * (kOps - 1) / 2;
constexpr unsigned kPairsPerSeed = 3;

const char* const kOpNames[kOps] = {"open-close",  "reads-writes",  "purge",      "settings",         "wait-on-mask",
                                    "client-suspend", "disable-enable", "rebalance", "surprise-replug", "system-sleep",
                                    "remote-wake", "nak-or-stall",  "bus-request-fails"};

bool UsesPort(Op op) { return op <= WaitOnMask; }
// Operations that make the other's requests fail, or take the device out of service for a while.
bool Disrupts(Op op, bool stall) {
    switch (op) {
    case ReadsWrites:
    case Settings:
    case WaitOnMask:
    case RemoteWake: return false;
    case NakOrStall: return stall;  // a NAK only holds the data back
    default: return true;
    }
}
// Operations that move the device node through PnP states or out of the system's working state.
bool MovesTheNode(Op op) {
    return op == DisableEnable || op == Rebalance || op == SurpriseReplug || op == SystemSleep || op == BusRequestFails;
}

// Pairs with a finding that is not fixed yet (see tests/campaign/findings_test.cpp); the short
// configuration leaves them out.
bool OpenFinding(Op a, Op b) {
    // None at present; a new finding is listed here with its replay test until it is fixed.
    static constexpr std::array<std::pair<Op, Op>, 0> kOpen{};
    for (const auto& [x, y] : kOpen)
        if ((x == a && y == b) || (x == b && y == a)) return true;
    return false;
}

std::pair<Op, Op> PairOf(unsigned index) {
    for (int a = 0; a < kOps; ++a)
        for (int b = a + 1; b < kOps; ++b)
            if (index-- == 0) return {static_cast<Op>(a), static_cast<Op>(b)};
    return {OpenClose, ReadsWrites};
}

// What the two operations of a cycle share.
struct Stage {
    m::Machine& machine;
    m::Adapter* adapter;
    m::AdapterOptions plugOptions;
    Tally& tally;
    Op ops[2];
    bool stall = false;          // NakOrStall stalls (else it NAKs)
    k::VirtualTime until = 0;    // the operations repeat until then
    HANDLE port = INVALID_HANDLE_VALUE;
    unsigned leases = 0;
    // The kernel-side client of the pipe driver learns of a removal before it happens, as a client
    // registered for the device's notifications does, and sends nothing while one is under way.
    unsigned clientRequests = 0;
    bool removing = false;
    std::vector<m::Adapter*> unplugged;

    Op Other(Op self) const { return ops[0] == self ? ops[1] : ops[0]; }
    bool PairUses(Op op) const { return ops[0] == op || ops[1] == op; }
    bool PairUsesPort() const { return UsesPort(ops[0]) || UsesPort(ops[1]); }
    // Whether `self`'s requests must succeed: the other operation neither fails them nor takes the device away.
    bool Undisturbed(Op self) const { return !Disrupts(Other(self), stall); }
    bool Lossless() const { return PairUses(ReadsWrites) && Undisturbed(ReadsWrites); }
    bool Running() const { return k::Now() < until; }
    std::string What(Op self) const {
        return std::string(kOpNames[self]) + " beside " + kOpNames[Other(self)];
    }
};

// The stage's port for one request; INVALID_HANDLE_VALUE while it is closed.
class Lease {
public:
    explicit Lease(Stage& stage) : stage_(stage), port_(stage.port) {
        if (port_ != INVALID_HANDLE_VALUE) ++stage_.leases;
    }
    ~Lease() {
        if (port_ != INVALID_HANDLE_VALUE) --stage_.leases;
    }
    HANDLE Port() const { return port_; }

private:
    Stage& stage_;
    HANDLE port_;
};

// Takes the port from the stage, waits until no request uses it and closes it.
void ClosePort(Stage& stage, const std::string& what) {
    const HANDLE port = std::exchange(stage.port, INVALID_HANDLE_VALUE);
    if (port == INVALID_HANDLE_VALUE) return;
    while (stage.leases > 0) Sleep(k::kMillisecond);
    CAMPAIGN_CHECK(u::CloseHandle(port), what + ": close failed");
    ++stage.tally.requests;
}

// Opens the port of the stage's adapter and hands it to the stage; false if it did not open.
bool OpenStagePort(Stage& stage, const std::string& what, bool mustOpen) {
    if (stage.port != INVALID_HANDLE_VALUE) return true;
    const HANDLE port = OpenPort(stage.adapter->ComName());
    ++stage.tally.requests;
    if (port == INVALID_HANDLE_VALUE) {
        CAMPAIGN_CHECK(!mustOpen, what + ": open failed, error " + std::to_string(u::GetLastError()));
        return false;
    }
    const bool configured = ConfigurePort(port, 200) && u::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CAMPAIGN_CHECK(configured || !mustOpen, what + ": settings refused, error " + std::to_string(u::GetLastError()));
    stage.tally.requests += 2;
    if (stage.port != INVALID_HANDLE_VALUE) {  // opened meanwhile by the other operation: keep theirs
        u::CloseHandle(port);
        return true;
    }
    stage.port = port;
    return true;
}

void Pause(std::mt19937_64& rng, unsigned maxMs) { Sleep(Ms(rng() % (maxMs + 1))); }

// A sleeping system runs no application: a disable, an enable or a rebalance asked for by one comes
// before the sleep or after the resume. (The emulated applications go on running; the devices' own
// events, an unplug or a remote wake, come at any time.)
void AwakeSystem() {
    while (tarvel::power::SystemState() != PowerSystemWorking) Sleep(k::kMillisecond);
}

// ---- The operations: each repeats until the stage's time is up ----------------------------------------

void RunOpenClose(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(OpenClose);
    while (stage.Running()) {
        ClosePort(stage, what);
        Pause(rng, 10);
        // The port opens again unless the other operation has the device out of service.
        OpenStagePort(stage, what, !Disrupts(stage.Other(OpenClose), stage.stall) && !MovesTheNode(stage.Other(OpenClose)));
        Pause(rng, 20);
    }
}

// Writes a chunk and reads it back through the loopback plug. Undisturbed, every byte comes back once
// and in order; otherwise the requests may fail but must end, and never report more than was asked.
void ReadAndWriteOnce(Stage& stage, HANDLE port, bool lossless, std::uint64_t chunk, std::mt19937_64& rng,
                      const std::string& what) {
    std::string sent(1 + rng() % 256, '\0');
    for (char& c : sent) c = static_cast<char>(rng());
    Overlapped write;
    BOOL writing = u::WriteFile(port, sent.data(), static_cast<DWORD>(sent.size()), nullptr, &write.ov);
    writing = writing || u::GetLastError() == ERROR_IO_PENDING;
    CAMPAIGN_CHECK(writing || !lossless, what + ": write refused, error " + std::to_string(u::GetLastError()));
    std::string got;
    for (int empty = 0; got.size() < sent.size() && empty < 8;) {
        std::string part(sent.size() - got.size(), '\0');
        Overlapped read;
        DWORD n = 0;
        BOOL ok = u::ReadFile(port, part.data(), static_cast<DWORD>(part.size()), nullptr, &read.ov);
        if (ok || u::GetLastError() == ERROR_IO_PENDING) ok = Finish(port, read, &n, 5000, "pair read");
        ++stage.tally.requests;
        CAMPAIGN_CHECK(n <= part.size(), what + ": read returned " + std::to_string(n) + " bytes for " + std::to_string(part.size()));
        CAMPAIGN_CHECK(ok || !lossless, what + ": read failed, error " + std::to_string(u::GetLastError()));
        if (!ok) break;
        if (n == 0) ++empty;  // a read timeout: a NAKing device holds the data back for a while
        got.append(part.data(), n);
    }
    DWORD written = 0;
    const BOOL wrote = writing && Finish(port, write, &written, 5000, "pair write");
    ++stage.tally.requests;
    CAMPAIGN_CHECK(written <= sent.size(), what + ": write reported " + std::to_string(written) + " bytes of " + std::to_string(sent.size()));
    if (lossless) {
        CAMPAIGN_CHECK(wrote && written == sent.size(),
                       what + ": write ended with " + std::to_string(written) + " of " + std::to_string(sent.size()) +
                           " bytes, error " + std::to_string(u::GetLastError()));
        std::size_t same = 0;
        while (same < got.size() && got[same] == sent[same]) ++same;
        CAMPAIGN_CHECK(got == sent, what + ": chunk " + std::to_string(chunk) + ": " + std::to_string(got.size()) +
                                        " of " + std::to_string(sent.size()) + " bytes came back, the first " +
                                        std::to_string(same) + " as sent");
    }
}

void RunReadsWrites(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(ReadsWrites);
    const bool lossless = stage.Lossless();
    for (std::uint64_t chunk = 0; stage.Running();) {
        {
            Lease lease(stage);
            if (lease.Port() != INVALID_HANDLE_VALUE) ReadAndWriteOnce(stage, lease.Port(), lossless, chunk++, rng, what);
        }
        Pause(rng, 3);
    }
}

void RunPurge(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(Purge);
    while (stage.Running()) {
        {
            Lease lease(stage);
            if (lease.Port() != INVALID_HANDLE_VALUE) {
                const DWORD flags = static_cast<DWORD>(1 + rng() % 15);  // any of the abort and clear flags
                const BOOL ok = u::PurgeComm(lease.Port(), flags);
                ++stage.tally.requests;
                CAMPAIGN_CHECK(ok || !stage.Undisturbed(Purge), what + ": purge refused, error " + std::to_string(u::GetLastError()));
            }
        }
        Pause(rng, 15);
    }
}

// The rate changes (both ends of the loopback plug follow it); line format and flow control stay.
void RunSettings(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(Settings);
    static constexpr DWORD kRates[] = {9600, 19200, 38400, 115200};
    while (stage.Running()) {
        {
            Lease lease(stage);
            if (lease.Port() != INVALID_HANDLE_VALUE) {
                const HANDLE port = lease.Port();
                u::DCB dcb{};
                BOOL ok = u::GetCommState(port, &dcb);
                if (ok) {
                    dcb.BaudRate = kRates[rng() % std::size(kRates)];
                    ok = u::SetCommState(port, &dcb);
                }
                DWORD lines = 0, errors = 0;
                u::COMSTAT status{};
                ok = ok && u::GetCommModemStatus(port, &lines) && u::ClearCommError(port, &errors, &status);
                stage.tally.requests += 4;
                CAMPAIGN_CHECK(ok || !stage.Undisturbed(Settings), what + ": a settings call failed, error " + std::to_string(u::GetLastError()));
            }
        }
        Pause(rng, 10);
    }
}

void RunWaitOnMask(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(WaitOnMask);
    while (stage.Running()) {
        {
            Lease lease(stage);
            if (lease.Port() != INVALID_HANDLE_VALUE) {
                const HANDLE port = lease.Port();
                constexpr DWORD kMask = EV_RXCHAR | EV_TXEMPTY | EV_CTS | EV_DSR | EV_ERR;
                BOOL ok = u::SetCommMask(port, kMask);
                Overlapped wait;
                DWORD mask = 0, bytes = 0;
                if (ok) {
                    ok = u::WaitCommEvent(port, &mask, &wait.ov);
                    if (ok || u::GetLastError() == ERROR_IO_PENDING) {
                        // No event for a while: setting the mask again ends the wait (CancelIo would
                        // cancel the other thread's requests on the handle too).
                        Sleep(Ms(1 + rng() % 40));
                        if (!wait.Completed()) u::SetCommMask(port, kMask);
                        ok = Finish(port, wait, &bytes, 5000, "pair wait on mask");
                    }
                }
                stage.tally.requests += 2;
                CAMPAIGN_CHECK(ok || !stage.Undisturbed(WaitOnMask),
                               what + ": wait on mask failed, error " + std::to_string(u::GetLastError()));
            }
        }
        Pause(rng, 5);
    }
}

// The pipe driver's device (the function driver's, right above the bus's), referenced, as a client of
// the pipe driver holds it; nullptr while the stack is not started. (Through the device interface a
// client reaches the top of the stack, the port, which serves only serial codes.)
PDEVICE_OBJECT ReferencePipeDevice(m::Adapter& adapter) {
    auto attached = [&]() -> PDEVICE_OBJECT {
        if (!adapter.Plugged() || pnp::State(adapter.Node()) != pnp::NodeState::Started) return nullptr;
        return pnp::PhysicalDevice(adapter.Node())->AttachedDevice;
    };
    const PDEVICE_OBJECT device = attached();
    if (device == nullptr) return nullptr;
    ObReferenceObject(device);
    if (attached() == device) return device;
    ObDereferenceObject(device);  // the stack changed while the reference was taken
    return nullptr;
}

// A client of the pipe driver suspends the device through the pipe driver's private code and resumes
// it; meanwhile the port's requests are refused as by a device that is not ready.
void RunClientSuspend(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(ClientSuspend);
    const bool mustWork = !MovesTheNode(stage.Other(ClientSuspend));
    bool suspended = false;
    auto ask = [&](PDEVICE_OBJECT device, ULONG code) {
        const NTSTATUS status = tarvel::io::SendDeviceControlAndWait(device, code);
        ++stage.tally.requests;
        CAMPAIGN_CHECK(NT_SUCCESS(status) || !mustWork, what + ": " + (code == IOCTL_PIPE_SUSPEND_DEVICE ? "suspend" : "resume") +
                                                            " failed: " + std::to_string(status));
        return NT_SUCCESS(status);
    };
    auto enter = [&] {
        while (stage.removing) Sleep(k::kMillisecond);
        ++stage.clientRequests;
        return ReferencePipeDevice(*stage.adapter);
    };
    auto leave = [&](PDEVICE_OBJECT device) {
        if (device != nullptr) ObDereferenceObject(device);
        --stage.clientRequests;
    };
    while (stage.Running()) {
        PDEVICE_OBJECT device = enter();
        if (device != nullptr && ask(device, IOCTL_PIPE_SUSPEND_DEVICE)) suspended = true;
        leave(device);
        Pause(rng, 30);
        device = enter();
        if (device != nullptr && ask(device, IOCTL_PIPE_RESUME_DEVICE)) suspended = false;
        leave(device);
        Pause(rng, 20);
    }
    // The client leaves the device in service: once the other operation is done with it, a resume works.
    for (int i = 0; i < 300 && suspended && stage.adapter->Plugged(); ++i) {
        const PDEVICE_OBJECT device = enter();
        if (device != nullptr) suspended = !NT_SUCCESS(tarvel::io::SendDeviceControlAndWait(device, IOCTL_PIPE_RESUME_DEVICE));
        leave(device);
        if (suspended) Sleep(Ms(10));
    }
}

// A removal (disable, surprise removal) waits for the client's request in flight and keeps new ones
// back until it is done.
class Removal {
public:
    explicit Removal(Stage& stage) : stage_(stage) {
        stage_.removing = true;
        while (stage_.clientRequests > 0) Sleep(k::kMillisecond);
    }
    ~Removal() { stage_.removing = false; }

private:
    Stage& stage_;
};

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// A disable is vetoed while the port is open; with the port closed it goes through and the enable
// builds the stack again.
void RunDisableEnable(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(DisableEnable);
    const Op other = stage.Other(DisableEnable);
    const bool mustWork = !MovesTheNode(other) && other != ClientSuspend;
    while (stage.Running()) {
        m::Adapter* adapter = stage.adapter;
        Removal removal(stage);
        AwakeSystem();
        const k::VirtualTime asked = k::Now();
        const NTSTATUS disabled = pnp::Disable(adapter->Node());
        ++stage.tally.requests;
        const pnp::Veto veto = pnp::LastVeto(adapter->Node());
        // A port in use vetoes the disable: the PnP manager for a handle open when it asks, the port for
        // an open that was on its way. Either answers at once; nothing waits for the application to close.
        const bool vetoed = disabled == STATUS_PLUGPLAY_QUERY_VETOED ||
                            (!NT_SUCCESS(disabled) && veto.type == pnp::PNP_VetoDevice && stage.PairUsesPort());
        if (vetoed) {
            CAMPAIGN_CHECK(stage.PairUsesPort() || !mustWork, what + ": a disable with the port closed was vetoed");
            CAMPAIGN_CHECK(k::Now() - asked < k::kSecond || !mustWork,
                           what + ": the disable was refused only after " + std::to_string((k::Now() - asked) / k::kMillisecond) + " ms");
        } else if (NT_SUCCESS(disabled)) {
            pnp::WaitForIdle();
            Pause(rng, 10);
            AwakeSystem();
            const NTSTATUS enabled = pnp::Enable(adapter->Node());
            ++stage.tally.requests;
            CAMPAIGN_CHECK(NT_SUCCESS(enabled) || !mustWork, what + ": enable failed: " + Hex(enabled));
        } else {
            CAMPAIGN_CHECK(!mustWork, what + ": disable failed: " + Hex(disabled));
        }
        Pause(rng, 20);
    }
}

void RunRebalance(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(Rebalance);
    const bool mustWork = !MovesTheNode(stage.Other(Rebalance));
    while (stage.Running()) {
        AwakeSystem();
        const NTSTATUS status = pnp::Rebalance(stage.adapter->Node());
        ++stage.tally.requests;
        const auto state = pnp::State(stage.adapter->Node());
        CAMPAIGN_CHECK(state == pnp::NodeState::Started || !mustWork,
                       what + ": after a rebalance (" + Hex(status) + ") the node is " + pnp::NodeStateName(state));
        Pause(rng, 30);
    }
}

// The plug is pulled; the application closes its port, as it does when told the device went, and a
// new adapter is plugged in, whose port it opens if it uses one.
void RunSurpriseReplug(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(SurpriseReplug);
    while (stage.Running()) {
        m::Adapter* old = stage.adapter;
        Removal removal(stage);
        stage.machine.Unplug(*old);
        stage.unplugged.push_back(old);
        Pause(rng, 10);
        ClosePort(stage, what);
        pnp::WaitForIdle();
        AwakeSystem();  // a sleeping machine enumerates nothing: the new adapter is found after the resume
        m::Adapter& fresh = stage.machine.Plug(stage.plugOptions);
        CAMPAIGN_CHECK(fresh.Started(), what + ": re-plug failed: status " + Hex(fresh.InstallStatus()));
        stage.adapter = &fresh;
        if (stage.PairUsesPort()) OpenStagePort(stage, what, false);
        Pause(rng, 40);
    }
}

void RunSystemSleep(Stage& stage, std::mt19937_64& rng) {
    const std::string what = stage.What(SystemSleep);
    static constexpr SYSTEM_POWER_STATE kStates[] = {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                                     PowerSystemHibernate};
    while (stage.Running()) {
        const NTSTATUS slept = tarvel::power::SetSystemState(kStates[rng() % std::size(kStates)]);
        ++stage.tally.requests;
        if (NT_SUCCESS(slept)) {
            Pause(rng, 40);
            const NTSTATUS woke = tarvel::power::SetSystemState(PowerSystemWorking);
            ++stage.tally.requests;
            CAMPAIGN_CHECK(NT_SUCCESS(woke), what + ": resume failed: " + Hex(woke));
        }
        CAMPAIGN_CHECK(tarvel::power::SystemState() == PowerSystemWorking, what + ": the system did not return to S0");
        Pause(rng, 30);
    }
}

// The device signals remote wake-up whenever it can (suspended, with wake-up armed): asleep, or
// suspended by a client.
void RunRemoteWake(Stage& stage, std::mt19937_64& rng) {
    while (stage.Running()) {
        if (stage.adapter->Plugged() && stage.adapter->Model().SignalRemoteWake()) ++stage.tally.faults;
        Pause(rng, 8);
    }
}

void RunNakOrStall(Stage& stage, std::mt19937_64& rng) {
    static constexpr std::uint8_t kEndpoints[] = {SerialModel::kBulkOut, SerialModel::kBulkIn, SerialModel::kStatusIn};
    while (stage.Running()) {
        SerialModel& model = stage.adapter->Model();
        const std::uint8_t endpoint = kEndpoints[rng() % std::size(kEndpoints)];
        ++stage.tally.faults;
        if (stage.stall) {
            model.StallEndpoint(endpoint);
            Pause(rng, 60);
        } else {
            model.NakForever(endpoint, true);
            Sleep(Ms(10 + rng() % 300));
            model.NakForever(endpoint, false);
            Pause(rng, 30);
        }
    }
}

// The device refuses its next control transfers (a vendor command, a request of a start).
void RunBusRequestFails(Stage& stage, std::mt19937_64& rng) {
    while (stage.Running()) {
        SerialModel& model = stage.adapter->Model();
        model.FailControlTransfers(1 + static_cast<unsigned>(rng() % 3));
        ++stage.tally.faults;
        Pause(rng, 60);
    }
    stage.adapter->Model().FailControlTransfers(0);
}

void RunOp(Op op, Stage& stage, std::mt19937_64& rng) {
    switch (op) {
    case OpenClose: return RunOpenClose(stage, rng);
    case ReadsWrites: return RunReadsWrites(stage, rng);
    case Purge: return RunPurge(stage, rng);
    case Settings: return RunSettings(stage, rng);
    case WaitOnMask: return RunWaitOnMask(stage, rng);
    case ClientSuspend: return RunClientSuspend(stage, rng);
    case DisableEnable: return RunDisableEnable(stage, rng);
    case Rebalance: return RunRebalance(stage, rng);
    case SurpriseReplug: return RunSurpriseReplug(stage, rng);
    case SystemSleep: return RunSystemSleep(stage, rng);
    case RemoteWake: return RunRemoteWake(stage, rng);
    case NakOrStall: return RunNakOrStall(stage, rng);
    case BusRequestFails: return RunBusRequestFails(stage, rng);
    case kOps: break;
    }
}

// Every fault of the device model off: it behaves from now on.
void Behave(SerialModel& model) {
    model.FailControlTransfers(0);
    for (std::uint8_t ep : {SerialModel::kBulkOut, SerialModel::kBulkIn, SerialModel::kStatusIn}) model.NakForever(ep, false);
}

}  // namespace

unsigned OperationPairs() { return kPairs; }

Tally RunOperationPairs(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 800));
    m::Machine machine(RandomMachine(plan.seed));
    m::AdapterOptions options;
    options.remoteWakeup = (rng() % 4) != 0;
    m::Adapter* adapter = &machine.Plug(options);
    CAMPAIGN_CHECK(adapter->Started(), "install failed: status " + std::to_string(adapter->InstallStatus()));
    for (unsigned cycle = 0; cycle < plan.cycles; ++cycle) {
        const auto [a, b] = PairOf(static_cast<unsigned>((plan.seed * kPairsPerSeed + cycle) % kPairs));
        const bool stall = (rng() & 1) != 0;
        if (plan.skipOpenPairs && OpenFinding(a, b)) {
            std::printf("cycle %u (%s + %s): left out, its finding is not fixed yet\n", cycle, kOpNames[a], kOpNames[b]);
            continue;
        }
        Stage stage{machine, adapter, options, tally, {a, b}, stall, k::Now() + Ms(60 + rng() % 200), INVALID_HANDLE_VALUE, 0, 0, false, {}};
        const std::string what = "cycle " + std::to_string(cycle) + " (" + kOpNames[a] + " + " + kOpNames[b] +
                                 (stage.PairUses(NakOrStall) ? (stage.stall ? ", stalls" : ", NAKs") : "") + ")";
        std::printf("%s\n", what.c_str());
        std::fflush(stdout);
        if (stage.PairUsesPort()) OpenStagePort(stage, what, true);
        Threads threads;
        for (Op op : stage.ops) {
            const std::uint64_t seed = Mix(plan.seed, 1000 + cycle * kOps + op);
            threads.Start(std::string("app.") + kOpNames[op], [op, seed, &stage] {
                std::mt19937_64 opRng(seed);
                RunOp(op, stage, opRng);
            });
        }
        const std::string stuck = threads.Join(120 * k::kSecond);
        CAMPAIGN_CHECK(stuck.empty(), what + ": " + stuck + " did not finish");
        ClosePort(stage, what);
        adapter = stage.adapter;
        Behave(adapter->Model());
        pnp::WaitForIdle();
        for (m::Adapter* gone : stage.unplugged)
            CAMPAIGN_CHECK(gone->Gone(), what + ": an unplugged adapter's removal did not follow the last handle's close");
        if (!adapter->Started()) {
            // Only a device that refused its control transfers may have failed its start (after an
            // enable or a rebalance): that must be reported and leave nothing behind, and a fresh adapter works.
            CAMPAIGN_CHECK(stage.PairUses(BusRequestFails), what + ": the adapter's stack is not started afterwards");
            machine.Unplug(*adapter);
            pnp::WaitForIdle();
            CAMPAIGN_CHECK(adapter->Gone(), what + ": the removal of the adapter whose start failed did not go through");
            CheckNothingLeftBehind(machine, what);
            adapter = &machine.Plug(options);
        }
        ++tally.cycles;
        ProvePortWorks(*adapter, what, tally);
    }
    machine.Unplug(*adapter);
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
