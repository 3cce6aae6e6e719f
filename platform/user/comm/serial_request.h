// One serial control request on behalf of a communications routine. The platform's library sends
// each of them synchronously whatever the handle: on a handle opened for overlapped I/O it supplies an
// event of its own and waits for the request, so the caller never sees ERROR_IO_PENDING.
#pragma once

#include <ntddser.h>

#include "tarvel/user/comm.h"

namespace tarvel::user::comm {

// Sends the control code and waits for it; *returned (if given) receives the bytes written to out.
// FALSE with the last error set on failure, as DeviceIoControl reports it.
BOOL SerialRequest(HANDLE file, DWORD code, const void* in = nullptr, DWORD inLength = 0, void* out = nullptr,
                   DWORD outLength = 0, DWORD* returned = nullptr);

// A GET request that must fill a whole record: a shorter answer fails with ERROR_INVALID_PARAMETER.
template <class Record>
BOOL GetRecord(HANDLE file, DWORD code, Record* record) {
    DWORD returned = 0;
    if (!SerialRequest(file, code, nullptr, 0, record, sizeof(Record), &returned)) return FALSE;
    if (returned < sizeof(Record)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

template <class Record>
BOOL SetRecord(HANDLE file, DWORD code, const Record& record) {
    return SerialRequest(file, code, &record, sizeof(Record));
}

} // namespace tarvel::user::comm
