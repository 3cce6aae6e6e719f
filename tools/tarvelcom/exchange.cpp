#include "exchange.h"

#include <algorithm>

#include "overlapped_slot.h"

namespace tarvelcom {

namespace u = tarvel::user;

namespace {

constexpr DWORD kWriteChunk = 1024;
constexpr DWORD kReadChunk = 4096;

using Slot = OverlappedSlot;

// The result of a request that has completed (the call returns at once).
bool Finished(HANDLE port, Slot& slot, DWORD* bytes, DWORD* error) {
    slot.busy = false;
    *bytes = 0;
    if (u::GetOverlappedResult(port, &slot.ov, bytes, FALSE)) return true;
    *error = u::GetLastError();
    return false;
}

// Sends a request; false (and the slot free again) if it failed at once.
bool Started(BOOL issued, Slot& slot, DWORD* error) {
    if (issued || u::GetLastError() == ERROR_IO_PENDING) return true;
    slot.busy = false;
    *error = u::GetLastError();
    return false;
}

} // namespace

std::vector<std::uint8_t> TestPattern(std::size_t size, bool printable) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t v = i * 7 + (i >> 8);
        bytes[i] = static_cast<std::uint8_t>(printable ? 0x20 + v % 95 : v);
    }
    return bytes;
}

ExchangeResult Exchange(HANDLE port, const std::vector<std::uint8_t>& pattern, DWORD quietMilliseconds,
                        const ProgressSink& progress) {
    ExchangeResult r;
    HANDLE event = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Slot write, read, wait;
    std::vector<std::uint8_t> in(kReadChunk);
    DWORD writing = 0, mask = 0;
    DWORD ignored = 0;
    bool writesFailed = false, readsFailed = false, waitsFailed = false;
    tarvel::kernel::VirtualTime lastArrival = 0;
    r.started = tarvel::kernel::Now();
    tarvel::kernel::VirtualTime lastProgress = r.started;

    for (;;) {
        u::ResetEvent(event); // before looking, so no completion between the look and the wait is missed
        bool moved = false;
        DWORD bytes = 0;
        if (write.Done()) {
            moved = true;
            if (Finished(port, write, &bytes, &r.writeError)) r.sent += bytes;
            else writesFailed = true;
            if (bytes > 0) lastProgress = tarvel::kernel::Now();
        }
        if (read.Done()) {
            moved = true;
            if (Finished(port, read, &bytes, &r.readError)) {
                for (DWORD i = 0; i < bytes; ++i, ++r.received) {
                    if (!r.firstMismatch && (r.received >= pattern.size() || in[i] != pattern[r.received]))
                        r.firstMismatch = r.received;
                }
                if (bytes > 0) {
                    lastArrival = lastProgress = tarvel::kernel::Now();
                    r.finished = lastArrival;
                    if (progress) progress(std::min(r.received, pattern.size()), pattern.size());
                }
            } else {
                readsFailed = true;
            }
        }
        if (wait.Done()) {
            moved = true;
            if (Finished(port, wait, &bytes, &ignored)) {
                for (DWORD bit = 1; bit != 0 && bit <= EV_EVENT2; bit <<= 1)
                    if (mask & bit) ++r.events[bit];
            } else {
                waitsFailed = true;
            }
        }

        const bool writesDone = writesFailed || (r.sent >= pattern.size() && !write.busy);
        const bool quiet = writesDone && !read.busy && tarvel::kernel::Now() - std::max(lastArrival, r.started) >=
                                                          quietMilliseconds * tarvel::kernel::kMillisecond;
        if (r.received >= pattern.size() && writesDone) break;
        // A write that cannot go out (flow control holding it, a device that takes nothing) ends the run
        // once nothing has moved either way for ten quiet periods.
        const bool stalled = tarvel::kernel::Now() - lastProgress >= 10 * quietMilliseconds * tarvel::kernel::kMillisecond;
        if (readsFailed || quiet || stalled) break;

        if (!write.busy && !writesFailed && r.sent < pattern.size()) {
            writing = static_cast<DWORD>(std::min<std::size_t>(kWriteChunk, pattern.size() - r.sent));
            write.Prepare(event);
            writesFailed = !Started(u::WriteFile(port, pattern.data() + r.sent, writing, &ignored, &write.ov), write,
                                    &r.writeError);
            moved = true;
        }
        if (!read.busy && !readsFailed) {
            read.Prepare(event);
            readsFailed = !Started(u::ReadFile(port, in.data(), kReadChunk, &ignored, &read.ov), read, &r.readError);
            moved = true;
        }
        if (!wait.busy && !waitsFailed) {
            wait.Prepare(event);
            waitsFailed = !Started(u::WaitCommEvent(port, &mask, &wait.ov), wait, &ignored);
            moved = true;
        }
        if (!moved) u::WaitForSingleObject(event, INFINITE);
    }

    // What is still in flight ends as an application ends it: a new event mask completes the wait, the
    // read returns by its timeout. Only a write that cannot go out is cancelled.
    DWORD bytes = 0;
    u::SetCommMask(port, 0);
    if (write.busy) u::CancelIo(port);
    for (Slot* slot : {&write, &read, &wait})
        if (slot->busy) u::GetOverlappedResult(port, &slot->ov, &bytes, TRUE);
    // A request's status block is written before its event is signalled; let the completions that are
    // under way finish before the event goes.
    tarvel::kernel::RunUntilIdle();
    u::CloseHandle(event);
    return r;
}

} // namespace tarvelcom
