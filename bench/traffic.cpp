#include "traffic.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define TARVEL_BENCH_CALLGRIND 1
#endif

namespace tarvelbench {

namespace k = tarvel::kernel;
namespace u = tarvel::user;

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

namespace {

struct Slot {
    u::OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer;
    DWORD length = 0;
    bool busy = false;

    bool Done() const { return busy && static_cast<NTSTATUS>(ov.Internal) != STATUS_PENDING; }
};

class Pump {
public:
    Pump(Rig& rig, const TrafficOptions& o) : rig_(rig), o_(o) {
        event_ = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        writes_.resize(o.send ? o.writeDepth : 0);
        reads_.resize(o.receive ? o.readDepth : 0);
        for (Slot& s : writes_) s.buffer.resize(o.writeChunk);
        for (Slot& s : reads_) s.buffer.resize(o.readChunk);
    }
    ~Pump() { u::CloseHandle(event_); }

    // Runs until `until`; `feed`: keep the far transmitter busy; `write`: issue new writes.
    void RunUntil(k::VirtualTime until, bool feed, bool write) {
        while (k::Now() < until) {
            u::ResetEvent(event_);
            bool moved = Collect();
            if (feed && o_.receive) rig_.FeedFar(o_.farDepth);
            moved = Issue(write) || moved;
            if (!moved) {
                const k::VirtualTime left = until - k::Now();
                const DWORD ms = static_cast<DWORD>(std::clamp<k::VirtualTime>(left / k::kMillisecond, 1, 5));
                u::WaitForSingleObject(event_, ms);
            }
        }
    }

    // Stops writing and feeding; waits until nothing has moved for a while.
    void Drain() {
        rig_.StopFeeding();
        std::uint64_t last = ~0ull;
        for (int quiet = 0, rounds = 0; quiet < 3 && rounds < 100; ++rounds) {
            RunUntil(k::Now() + 100 * k::kMillisecond, false, false);
            const std::uint64_t now = appRead_ + rig_.FarArrived() + written_;
            quiet = now == last && !AnyBusy(writes_) ? quiet + 1 : 0;
            last = now;
        }
        u::CancelIo(rig_.Writer());
        if (rig_.Reader() != rig_.Writer()) u::CancelIo(rig_.Reader());
        Collect();
    }

    std::uint64_t written_ = 0, appRead_ = 0, corrupted_ = 0;
    DWORD writeError_ = 0, readError_ = 0;

private:
    static bool AnyBusy(const std::vector<Slot>& slots) {
        return std::any_of(slots.begin(), slots.end(), [](const Slot& s) { return s.busy; });
    }

    bool Finish(HANDLE handle, Slot& s, DWORD* bytes, DWORD* error) {
        s.busy = false;
        *bytes = 0;
        if (u::GetOverlappedResult(handle, &s.ov, bytes, FALSE)) return true;
        if (*error == 0) *error = u::GetLastError();
        return false;
    }

    bool Collect() {
        bool moved = false;
        DWORD bytes = 0;
        for (Slot& s : writes_) {
            if (!s.Done()) continue;
            moved = true;
            Finish(rig_.Writer(), s, &bytes, &writeError_);
            written_ += bytes;
        }
        for (Slot& s : reads_) {
            if (!s.Done()) continue;
            moved = true;
            Finish(rig_.Reader(), s, &bytes, &readError_);
            for (DWORD i = 0; i < bytes; ++i)
                if (s.buffer[i] != PatternByte(appRead_ + i)) ++corrupted_;
            appRead_ += bytes;
        }
        return moved;
    }

    bool Issue(bool write) {
        bool issued = false;
        DWORD ignored = 0;
        for (Slot& s : writes_) {
            // Writes complete in order on a serial port, so the sequence position is the next byte to queue.
            if (s.busy || !write || writeError_ != 0) continue;
            for (DWORD i = 0; i < o_.writeChunk; ++i) s.buffer[i] = PatternByte(queuedWrite_ + i);
            s.ov = u::OVERLAPPED{};
            s.ov.hEvent = event_;
            s.busy = true;
            if (!u::WriteFile(rig_.Writer(), s.buffer.data(), o_.writeChunk, &ignored, &s.ov) &&
                u::GetLastError() != ERROR_IO_PENDING) {
                s.busy = false;
                writeError_ = u::GetLastError();
                continue;
            }
            queuedWrite_ += o_.writeChunk;
            issued = true;
        }
        // Reads complete in order, one at a time is current; several outstanding hide the turnaround.
        for (Slot& s : reads_) {
            if (s.busy || readError_ != 0) continue;
            s.ov = u::OVERLAPPED{};
            s.ov.hEvent = event_;
            s.busy = true;
            if (!u::ReadFile(rig_.Reader(), s.buffer.data(), o_.readChunk, &ignored, &s.ov) &&
                u::GetLastError() != ERROR_IO_PENDING) {
                s.busy = false;
                readError_ = u::GetLastError();
                continue;
            }
            issued = true;
        }
        return issued;
    }

    Rig& rig_;
    TrafficOptions o_;
    HANDLE event_;
    std::vector<Slot> writes_, reads_;
    std::uint64_t queuedWrite_ = 0;
};

} // namespace

TrafficResult RunTraffic(Rig& rig, const TrafficOptions& o) {
    TrafficResult r;
    Pump pump(rig, o);
    const k::VirtualTime start = k::Now();
    pump.RunUntil(start + o.warmUp, true, true);
    const std::uint64_t far0 = rig.FarArrived(), app0 = pump.appRead_;
    const double cpu0 = CpuSeconds();
    const k::VirtualTime t0 = k::Now();
#ifdef TARVEL_BENCH_CALLGRIND
    CALLGRIND_ZERO_STATS;  // under callgrind the measured window is dumped on its own, every thread's cost
#endif
    pump.RunUntil(t0 + o.window, true, true);
#ifdef TARVEL_BENCH_CALLGRIND
    CALLGRIND_DUMP_STATS_AT("measured window");
#endif
    r.cpuSeconds = CpuSeconds() - cpu0;
    r.seconds = static_cast<double>(k::Now() - t0) / k::kSecond;
    r.toFar = rig.FarArrived() - far0;
    r.toApp = pump.appRead_ - app0;
#ifdef TARVEL_BENCH_CALLGRIND
    if (RUNNING_ON_VALGRIND)
        std::fprintf(stderr, "callgrind window: %llu payload bytes\n", static_cast<unsigned long long>(r.toApp + r.toFar));
#endif

    pump.Drain();
    r.written = pump.written_;
    r.appRead = pump.appRead_;
    r.farArrived = rig.FarArrived();
    r.farSent = rig.FarSent();
    r.fifoOverruns = rig.DeviceOverruns();
    const std::uint64_t took = rig.DeviceTook(), stillInDevice = rig.StillInDevice();
    r.lostInDriver = took > r.appRead + stillInDevice ? took - r.appRead - stillInDevice : 0;
    r.lostToFar = r.written > r.farArrived ? r.written - r.farArrived : 0;
    r.corrupted = pump.corrupted_ + rig.FarOutOfOrder();
    r.writeError = pump.writeError_;
    r.readError = pump.readError_;
    return r;
}

} // namespace tarvelbench
