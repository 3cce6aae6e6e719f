// Waiting for and cancelling requests in flight.
#include "failure.h"
#include "handles.h"
#include "transfer.h"
#include "tarvel/user/files.h"

namespace tarvel::user {

namespace {

// The file's event is set whenever one of its requests finishes; each waiter tests its own condition
// again and clears the event only right before a test, so no finish is missed.
template <class Done>
void WaitForFile(UserFile& file, Done done) {
    while (!done()) {
        KeClearEvent(&file.finished);
        if (done()) return;
        KeWaitForSingleObject(&file.finished, Executive, UserMode, FALSE, nullptr);
    }
}

} // namespace

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait) {
    UserFile* file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    if (overlapped == nullptr) return FailWithError(ERROR_INVALID_PARAMETER);
    auto pending = [overlapped] { return static_cast<NTSTATUS>(overlapped->Internal) == STATUS_PENDING; };
    if (pending()) {
        if (!wait) return FailWithError(ERROR_IO_INCOMPLETE);
        PKEVENT event = nullptr;
        if (!EventOf(overlapped->hEvent, &event)) return FailWithError(ERROR_INVALID_HANDLE);
        if (event != nullptr) {
            while (pending()) KeWaitForSingleObject(event, Executive, UserMode, FALSE, nullptr);
        } else {
            WaitForFile(*file, [&] { return !pending(); });
        }
    }
    const NTSTATUS status = static_cast<NTSTATUS>(overlapped->Internal);
    if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (!NT_SUCCESS(status)) return FailWith(status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// As NtCancelIoFile does, CancelIo returns once the calling thread's requests on the file have ended.
BOOL CancelIo(HANDLE handle) {
    UserFile* file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    const io::FileRequestSelection mine{PsGetCurrentThread(), nullptr};
    io::CancelFileRequests(file->object, mine);
    WaitForFile(*file, [file, mine] { return io::OutstandingFileRequests(file->object, mine) == 0; });
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// CancelIoEx only asks for the cancel: the requests end as their drivers end them.
BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
    UserFile* file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    const io::FileRequestSelection which{
        nullptr, overlapped != nullptr ? reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal) : nullptr};
    if (io::CancelFileRequests(file->object, which) == 0) return FailWithError(ERROR_NOT_FOUND);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace tarvel::user
