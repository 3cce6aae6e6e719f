// One overlapped request on the port whose completion is told by an event shared with other slots: the
// pattern of the exchange and of the pseudo-terminal bridge, which keep a read and a write in flight.
#pragma once

#include "tarvel/user/comm.h"

namespace tarvelcom {

struct OverlappedSlot {
    tarvel::user::OVERLAPPED ov{};
    bool busy = false;

    bool Done() const { return busy && static_cast<NTSTATUS>(ov.Internal) != STATUS_PENDING; }
    void Prepare(HANDLE event) {
        ov = tarvel::user::OVERLAPPED{};
        ov.hEvent = event;
        busy = true;
    }
    // Sent, or failed at once (then the slot is free again and the error is in *error).
    bool Sent(BOOL issued, DWORD* error) {
        if (issued || tarvel::user::GetLastError() == ERROR_IO_PENDING) return true;
        busy = false;
        *error = tarvel::user::GetLastError();
        return false;
    }
    // The completed request's bytes; 0 with *error set on failure.
    DWORD Result(HANDLE port, DWORD* error) {
        busy = false;
        DWORD bytes = 0;
        if (!tarvel::user::GetOverlappedResult(port, &ov, &bytes, FALSE)) *error = tarvel::user::GetLastError();
        return bytes;
    }
};

} // namespace tarvelcom
