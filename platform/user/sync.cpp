// Events and waits.
#include "failure.h"
#include "handles.h"
#include "tarvel/user/sync.h"

namespace tarvel::user {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR) {
    HandleEntry entry;
    entry.event = std::make_shared<EventObject>();
    KeInitializeEvent(&entry.event->event, manualReset ? NotificationEvent : SynchronizationEvent,
                      initialState ? TRUE : FALSE);
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::move(entry));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR) {
    return CreateEventW(security, manualReset, initialState, nullptr);
}

namespace {

PKEVENT EventBehind(HANDLE handle) {
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr || !entry->event) return nullptr;
    return &entry->event->event;
}

} // namespace

BOOL SetEvent(HANDLE handle) {
    PKEVENT event = EventBehind(handle);
    if (event == nullptr) return FailWithError(ERROR_INVALID_HANDLE);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    PKEVENT event = EventBehind(handle);
    if (event == nullptr) return FailWithError(ERROR_INVALID_HANDLE);
    KeClearEvent(event);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    PVOID object = entry->event ? static_cast<PVOID>(&entry->event->event) : &entry->file->finished;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000; // relative, 100-ns units
    const NTSTATUS status = KeWaitForSingleObject(object, Executive, UserMode, FALSE,
                                                  milliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

} // namespace tarvel::user
