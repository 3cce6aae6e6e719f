// Fuzzing the port through the application side: control codes with boundary and random lengths and
// contents, and random sequences of calls from several threads at once. A request may fail, but it
// must end exactly once, never report more bytes than the caller's buffer holds, and never write past
// it; afterwards the port carries data again.

#include "control_codes.h"
#include "scenarios.h"
#include "tarvel/machine/request_names.h"

namespace campaign {

namespace {

constexpr std::size_t kGuard = 32;
constexpr std::uint8_t kGuardByte = 0xA5;

void FillInput(std::vector<std::uint8_t>& in, std::mt19937_64& rng) {
    switch (rng() % 4) {
    case 0: std::fill(in.begin(), in.end(), 0x00); break;
    case 1: std::fill(in.begin(), in.end(), 0xFF); break;
    default:
        for (auto& b : in) b = static_cast<std::uint8_t>(rng());
    }
}

// One control request; returns whether it succeeded.
bool Send(HANDLE port, ULONG code, ULONG inLength, ULONG outLength, std::mt19937_64& rng, Tally& tally) {
    std::vector<std::uint8_t> in(inLength), out(outLength + kGuard, kGuardByte);
    FillInput(in, rng);
    Overlapped request;
    DWORD returned = 0;
    BOOL ok = u::DeviceIoControl(port, code, inLength ? in.data() : nullptr, inLength,
                                 outLength ? out.data() : nullptr, outLength, nullptr, &request.ov);
    if (ok || u::GetLastError() == ERROR_IO_PENDING) ok = Finish(port, request, &returned, 20, "control request");
    ++tally.requests;
    const std::string what = "control code " + m::Hex(code) + " (" + m::ControlCodeName(code) + ") in " +
                             std::to_string(inLength) + " out " + std::to_string(outLength);
    CAMPAIGN_CHECK(returned <= outLength, what + ": " + std::to_string(returned) + " bytes returned");
    for (std::size_t i = outLength; i < out.size(); ++i)
        CAMPAIGN_CHECK(out[i] == kGuardByte, what + ": the output buffer was written past its end");
    return ok != FALSE;
}

// Undo what random codes may have left that holds the line (break, XOFF, odd rates) before the check.
void Recover(HANDLE port) {
    u::ClearCommBreak(port);
    u::EscapeCommFunction(port, SETXON);
    u::PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

}  // namespace

Tally RunControlCodeFuzz(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 300));
    m::Machine machine(RandomMachine(plan.seed));
    m::Adapter& adapter = machine.Plug();
    CAMPAIGN_CHECK(adapter.Started(), "install failed: status " + std::to_string(adapter.InstallStatus()));
    for (unsigned round = 0; round < plan.cycles; ++round) {
        HANDLE port = OpenPort(adapter.ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE, "open failed, error " + std::to_string(u::GetLastError()));
        for (const ControlCode& c : KnownControlCodes()) {
            for (ULONG in : LengthsAround(c.minInput)) Send(port, c.code, in, c.minOutput, rng, tally);
            for (ULONG out : LengthsAround(c.minOutput)) Send(port, c.code, c.minInput, out, rng, tally);
            for (int i = 0; i < 3; ++i)
                Send(port, c.code, static_cast<ULONG>(rng() % 80), static_cast<ULONG>(rng() % 80), rng, tally);
        }
        for (int i = 0; i < 200; ++i)
            Send(port, RandomSerialCode(rng), static_cast<ULONG>(rng() % 128), static_cast<ULONG>(rng() % 128), rng, tally);
        Recover(port);
        CAMPAIGN_CHECK(u::CloseHandle(port), "close failed");
        ++tally.cycles;
        ProvePortWorks(adapter, "after fuzz round " + std::to_string(round), tally);
    }
    machine.Unplug(adapter);
    ShutdownClean(machine);
    return tally;
}

namespace {

// One application thread's random calls on the shared handle.
void RandomCalls(HANDLE port, const std::string& comName, std::uint64_t seed, unsigned calls, Tally& tally) {
    std::mt19937_64 rng(seed);
    std::vector<char> buffer(512);
    for (unsigned i = 0; i < calls; ++i) {
        Overlapped request;
        DWORD bytes = 0, mask = 0;
        BOOL ok = TRUE;
        const DWORD length = static_cast<DWORD>(rng() % buffer.size());
        switch (rng() % 9) {
        case 0:
            ok = u::ReadFile(port, buffer.data(), length, nullptr, &request.ov);
            if (ok || u::GetLastError() == ERROR_IO_PENDING) ok = Finish(port, request, &bytes, 30, "read");
            CAMPAIGN_CHECK(bytes <= length, "read returned more than asked");
            break;
        case 1:
            ok = u::WriteFile(port, buffer.data(), length, nullptr, &request.ov);
            if (ok || u::GetLastError() == ERROR_IO_PENDING) ok = Finish(port, request, &bytes, 30, "write");
            CAMPAIGN_CHECK(bytes <= length, "write reported more than given");
            break;
        case 2: ok = u::PurgeComm(port, static_cast<DWORD>(rng() % 16)); break;
        case 3: ok = u::SetCommMask(port, static_cast<DWORD>(rng() & 0x1FFF)); break;
        case 4:
            ok = u::WaitCommEvent(port, &mask, &request.ov);
            if (ok || u::GetLastError() == ERROR_IO_PENDING) ok = Finish(port, request, &bytes, 30, "wait on mask");
            break;
        case 5: {
            u::DCB dcb{};
            ok = u::GetCommState(port, &dcb);
            if (ok) {
                static constexpr DWORD kRates[] = {1200, 9600, 19200, 115200, 921600};
                dcb.BaudRate = kRates[rng() % 5];
                dcb.fOutxCtsFlow = rng() & 1;
                dcb.fOutX = dcb.fInX = rng() & 1;
                ok = u::SetCommState(port, &dcb);
            }
            break;
        }
        case 6: {
            u::COMMTIMEOUTS t{static_cast<DWORD>(rng() % 3 == 0 ? 0xFFFFFFFF : rng() % 20), static_cast<DWORD>(rng() % 5),
                              static_cast<DWORD>(rng() % 40), static_cast<DWORD>(rng() % 5), static_cast<DWORD>(rng() % 40)};
            ok = u::SetCommTimeouts(port, &t);
            break;
        }
        case 7:
            ok = u::CancelIo(port);
            break;
        case 8: {
            // The port is exclusive: a second open must be refused while the handle is open.
            HANDLE second = OpenPort(comName);
            CAMPAIGN_CHECK(second == INVALID_HANDLE_VALUE, "a second open of an exclusive port succeeded");
            ok = FALSE;
            break;
        }
        }
        ++tally.requests;
        (void)ok;
        Sleep(static_cast<k::VirtualTime>(rng() % 3) * k::kMillisecond);
    }
}

}  // namespace

Tally RunSequenceFuzz(const RunPlan& plan) {
    Tally tally;
    std::mt19937_64 rng(Mix(plan.seed, 400));
    m::Machine machine(RandomMachine(plan.seed));
    m::Adapter& adapter = machine.Plug();
    CAMPAIGN_CHECK(adapter.Started(), "install failed: status " + std::to_string(adapter.InstallStatus()));
    constexpr int kThreads = 3;
    for (unsigned round = 0; round < plan.cycles; ++round) {
        HANDLE port = OpenPort(adapter.ComName());
        CAMPAIGN_CHECK(port != INVALID_HANDLE_VALUE, "open failed, error " + std::to_string(u::GetLastError()));
        CAMPAIGN_CHECK(ConfigurePort(port, 10), "settings refused");
        Threads threads;
        const std::string comName = adapter.ComName();
        for (int t = 0; t < kThreads; ++t) {
            const std::uint64_t seed = Mix(plan.seed, round * kThreads + t);
            threads.Start("app.fuzz" + std::to_string(t),
                          [port, comName, seed, &tally] { RandomCalls(port, comName, seed, 60, tally); });
        }
        const std::string stuck = threads.Join(60 * k::kSecond);
        CAMPAIGN_CHECK(stuck.empty(), stuck + ": did not finish its calls");
        // Close with whatever the random calls left behind; the next open starts afresh.
        if (rng() & 1) Recover(port);
        CAMPAIGN_CHECK(u::CloseHandle(port), "close failed");
        ++tally.cycles;
        ProvePortWorks(adapter, "after sequence round " + std::to_string(round), tally);
    }
    machine.Unplug(adapter);
    ShutdownClean(machine);
    return tally;
}

}  // namespace campaign
