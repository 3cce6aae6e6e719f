#include "transfer.h"

#include "failure.h"
#include "handles.h"

namespace tarvel::user {

namespace {

constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericRead = 0x80000000;
constexpr ACCESS_MASK kGenericWrite = 0x40000000;

BOOL Result(const IO_STATUS_BLOCK& result, LPDWORD bytesTransferred) {
    // Warnings (STATUS_BUFFER_OVERFLOW) fail the call but still report what was moved.
    if (bytesTransferred != nullptr && !NT_ERROR(result.Status))
        *bytesTransferred = static_cast<DWORD>(result.Information);
    if (!NT_SUCCESS(result.Status)) return FailWith(result.Status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace

bool Granted(const UserFile& file, ACCESS_MASK needed) {
    ACCESS_MASK granted = file.access;
    if (granted & (kGenericAll | kGenericRead)) granted |= kReadData;
    if (granted & (kGenericAll | kGenericWrite)) granted |= kWriteData;
    return (granted & needed) == needed;
}

bool EventOf(HANDLE handle, PKEVENT* event, std::shared_ptr<EventObject>* keep) {
    *event = nullptr;
    // The low bit of an OVERLAPPED's event only keeps the completion from a completion port.
    handle = reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(handle) & ~std::uintptr_t{1});
    if (handle == nullptr) return true;
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr || !entry->event) return false;
    *event = &entry->event->event;
    if (keep != nullptr) *keep = entry->event;
    return true;
}

BOOL Issue(UserFile& file, io::FileRequest request, LPDWORD bytesTransferred, LPOVERLAPPED overlapped) {
    if (bytesTransferred != nullptr) *bytesTransferred = 0;
    if (overlapped != nullptr) request.byteOffset = (LONGLONG{overlapped->OffsetHigh} << 32) | overlapped->Offset;
    if (!file.overlapped) {
        const IO_STATUS_BLOCK result = io::SendFileRequestAndWait(file.object, std::move(request));
        if (overlapped != nullptr) {
            overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(result.Status));
            overlapped->InternalHigh = result.Information;
        }
        return Result(result, bytesTransferred);
    }
    std::shared_ptr<EventObject> keepEvent;
    if (!EventOf(overlapped->hEvent, &request.event, &keepEvent)) return FailWithError(ERROR_INVALID_HANDLE);
    auto* statusBlock = reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal);
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    request.statusBlock = statusBlock;
    if (request.event != nullptr) KeClearEvent(request.event);
    KeClearEvent(&file.finished);
    UserFile* owner = &file;
    // The I/O manager signals the event before it calls onComplete; the capture holds the event until then.
    request.onComplete = [owner, keepEvent](const IO_STATUS_BLOCK&) {
        --owner->inFlight;
        KeSetEvent(&owner->finished, IO_NO_INCREMENT, FALSE);
    };
    ++file.inFlight;
    const NTSTATUS sent = io::SendFileRequest(file.object, request);
    if (sent == STATUS_PENDING) return FailWithError(ERROR_IO_PENDING);
    if (sent == STATUS_INSUFFICIENT_RESOURCES && statusBlock->Status == STATUS_PENDING) {
        --file.inFlight; // never built: nothing will finish
        overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(sent));
        return FailWith(sent);
    }
    return Result(*statusBlock, bytesTransferred);
}

} // namespace tarvel::user
