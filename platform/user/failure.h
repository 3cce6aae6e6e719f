// Reporting a failure the Win32 way: the error code goes to the thread's last error.
#pragma once

#include "tarvel/user/errors.h"

namespace tarvel::user {

inline BOOL FailWith(NTSTATUS status) {
    SetLastError(NtStatusToDosError(status));
    return FALSE;
}

inline BOOL FailWithError(DWORD error) {
    SetLastError(error);
    return FALSE;
}

} // namespace tarvel::user
