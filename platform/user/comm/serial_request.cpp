#include "serial_request.h"

namespace tarvel::user::comm {

BOOL SerialRequest(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
                   DWORD* returned) {
    if (returned != nullptr) *returned = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = done;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(file, code, const_cast<void*>(in), inLength, out, outLength, &bytes, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        // The event, not the status block, says the request is over: the status block is written first, and
        // the event must not be closed before it has been signalled.
        WaitForSingleObject(done, INFINITE);
        ok = GetOverlappedResult(file, &overlapped, &bytes, FALSE);
    }
    const DWORD error = GetLastError();
    CloseHandle(done);
    SetLastError(error);
    if (ok && returned != nullptr) *returned = bytes;
    return ok;
}

} // namespace tarvel::user::comm
