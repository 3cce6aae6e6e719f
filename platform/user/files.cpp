// Opening and closing files on devices.
#include "failure.h"
#include "handles.h"
#include "paths.h"
#include "tarvel/io.h"
#include "tarvel/pnp.h"
#include "tarvel/user/files.h"

namespace tarvel::user {

namespace {

HANDLE FailOpen(NTSTATUS status) {
    FailWith(status);
    return INVALID_HANDLE_VALUE;
}

HANDLE FailOpenWithError(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

ULONG CreateDisposition(DWORD creationDisposition) {
    switch (creationDisposition) {
    case CREATE_NEW: return FILE_CREATE;
    case CREATE_ALWAYS: return FILE_OVERWRITE_IF;
    case OPEN_ALWAYS: return FILE_OPEN_IF;
    case TRUNCATE_EXISTING: return FILE_OVERWRITE;
    default: return FILE_OPEN;
    }
}

// The device a path names: the longest leading part of it that the namespace resolves.
PDEVICE_OBJECT NamedDevice(std::string path) {
    for (;;) {
        if (PDEVICE_OBJECT device = io::FindDevice(path)) return device;
        const auto separator = path.find_last_of('\\');
        if (separator == std::string::npos || separator < 4) return nullptr;
        path.resize(separator);
    }
}

// After a successful query-remove and after a surprise removal the platform lets nobody open the
// device again.
bool RemovalUnderWay(PDEVICE_OBJECT device) {
    pnp::DeviceNode* node = device != nullptr ? pnp::FindNode(device) : nullptr;
    if (node == nullptr) return false;
    const pnp::NodeState state = pnp::State(node);
    return state == pnp::NodeState::RemovePending || state == pnp::NodeState::SurpriseRemoved;
}

HANDLE Open(const std::string& path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
            DWORD flagsAndAttributes) {
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING)
        return FailOpenWithError(ERROR_INVALID_PARAMETER);
    if (RemovalUnderWay(NamedDevice(DevicePath(path)))) return FailOpen(STATUS_DELETE_PENDING);
    const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    io::OpenOptions options;
    options.desiredAccess = desiredAccess;
    options.shareAccess = shareMode;
    options.createDisposition = CreateDisposition(creationDisposition);
    options.createOptions = FILE_NON_DIRECTORY_FILE | (overlapped ? 0 : FILE_SYNCHRONOUS_IO_NONALERT);
    PFILE_OBJECT object = nullptr;
    const NTSTATUS status = io::OpenFile(DevicePath(path), &object, options);
    if (!NT_SUCCESS(status)) return FailOpen(status);

    auto* file = new UserFile;
    file->object = object;
    file->device = object->DeviceObject;
    file->overlapped = overlapped;
    file->access = desiredAccess;
    KeInitializeEvent(&file->finished, NotificationEvent, FALSE);
    pnp::HandleOpened(file->device);
    HandleEntry entry;
    entry.file = file;
    SetLastError(ERROR_SUCCESS);
    return InsertHandle(std::move(entry));
}

} // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    if (fileName == nullptr) return FailOpenWithError(ERROR_INVALID_PARAMETER);
    return Open(Narrow(fileName), desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
    if (fileName == nullptr) return FailOpenWithError(ERROR_INVALID_PARAMETER);
    return Open(fileName, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

BOOL CloseHandle(HANDLE handle) {
    HandleEntry entry = RemoveHandle(handle);
    if (entry.event) return TRUE;
    if (entry.file == nullptr) return FailWith(STATUS_INVALID_HANDLE);
    UserFile* file = entry.file;
    // The close request follows the last request still in flight; only then is the handle gone for
    // the PnP manager (a removal after surprise removal waits for it).
    io::CloseFile(file->object, [file] {
        PDEVICE_OBJECT device = file->device;
        delete file;
        pnp::HandleClosed(device);
    });
    return TRUE;
}

} // namespace tarvel::user
