// Pipe names: an open with "\PIPExx", "\EPxx" or "\EAxx" binds that pipe to the file object
// (FsContext); close unbinds it. A pipe is open through at most one file object at a time.
#include "tarvelpipe.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The binding also carries the configuration it was made under (FsContext2), so that a file
// object that outlived a stop and restart, whose FsContext points into a released table, is
// recognised by comparison alone and refused.
PPIPE_ENTRY GetBoundPipe(PPIPE_EXTENSION Extension, PFILE_OBJECT FileObject) {
    if (FileObject == NULL || FileObject->FsContext == NULL) {
        return NULL;
    }
    ULONG count = PipeCount(Extension);
    if (count == 0 || (ULONG_PTR)FileObject->FsContext2 != Extension->ConfigGeneration) {
        return NULL;
    }
    ULONG_PTR first = (ULONG_PTR)Extension->ConfigInfo->PipeTable;
    ULONG_PTR entry = (ULONG_PTR)FileObject->FsContext;
    if (entry < first || entry >= first + count * sizeof(PIPE_ENTRY) || (entry - first) % sizeof(PIPE_ENTRY) != 0) {
        return NULL;
    }
    PPIPE_ENTRY pipe = (PPIPE_ENTRY)FileObject->FsContext;
    return pipe->PipeInfo->PipeFlags == PIPE_MARKER_OPEN ? pipe : NULL;
}

static BOOLEAN HasPrefix(PCUNICODE_STRING Name, PCWSTR Prefix, USHORT Chars) {
    if (Name->Length != Chars * sizeof(WCHAR)) {
        return FALSE;
    }
    for (USHORT i = 0; Prefix[i] != 0; i++) {
        WCHAR c = Name->Buffer[i];
        WCHAR p = Prefix[i];
        if (c >= L'a' && c <= L'z') c = (WCHAR)(c - L'a' + L'A');
        if (p >= L'a' && p <= L'z') p = (WCHAR)(p - L'a' + L'A');
        if (c != p) {
            return FALSE;
        }
    }
    return TRUE;
}

// The two characters after the prefix as the platform's string-to-integer reads them in base 16:
// leading blanks skipped, an optional sign, digits up to the first non-digit, 0 when none.
static ULONG ReadPipeNumber(PCUNICODE_STRING Name, USHORT PrefixChars) {
    WCHAR text[3];
    text[0] = Name->Buffer[PrefixChars];
    text[1] = Name->Buffer[PrefixChars + 1];
    text[2] = 0;
    UNICODE_STRING digits;
    digits.Buffer = text;
    digits.Length = 2 * sizeof(WCHAR);
    digits.MaximumLength = sizeof(text);
    ULONG value = 0;
    RtlUnicodeStringToInteger(&digits, 16, &value);
    return value;
}

enum PIPE_NAME_FORM { NameNone, NameEndpoint, NameAddress, NameIndex };

static PPIPE_ENTRY ResolvePipeName(PPIPE_EXTENSION Extension, PCUNICODE_STRING Name) {
    static const WCHAR endpointPrefix[] = PIPE_NAME_PREFIX_ENDPOINT;
    static const WCHAR addressPrefix[] = PIPE_NAME_PREFIX_ADDRESS;
    static const WCHAR indexPrefix[] = PIPE_NAME_PREFIX_INDEX;
    const USHORT shortPrefix = (USHORT)(sizeof(endpointPrefix) / sizeof(WCHAR) - 1);
    const USHORT indexPrefixChars = (USHORT)(sizeof(indexPrefix) / sizeof(WCHAR) - 1);

    if (Name->Buffer == NULL) {
        return NULL;
    }
    PIPE_NAME_FORM form = NameNone;
    USHORT prefixChars = 0;
    if (HasPrefix(Name, endpointPrefix, PIPE_NAME_ENDPOINT_LENGTH)) {
        form = NameEndpoint;
        prefixChars = shortPrefix;
    } else if (HasPrefix(Name, addressPrefix, PIPE_NAME_ENDPOINT_LENGTH)) {
        form = NameAddress;
        prefixChars = shortPrefix;
    } else if (HasPrefix(Name, indexPrefix, PIPE_NAME_INDEX_LENGTH)) {
        form = NameIndex;
        prefixChars = indexPrefixChars;
    } else {
        return NULL;
    }

    ULONG number = ReadPipeNumber(Name, prefixChars);
    ULONG count = PipeCount(Extension);
    PPIPE_ENTRY table = count != 0 ? Extension->ConfigInfo->PipeTable : NULL;
    if (form == NameIndex) {
        return number < count ? &table[number] : NULL;
    }
    UCHAR wanted = (UCHAR)(number & 0xFF);
    for (ULONG i = 0; i < count; i++) {
        UCHAR address = table[i].PipeInfo->EndpointAddress;
        UCHAR compared = form == NameEndpoint ? (UCHAR)(address & 0x7F) : address;
        if (compared == wanted) {
            return &table[i];
        }
    }
    return NULL;
}

static BOOLEAN OpenAndCloseAllowed(PDEVICE_OBJECT DeviceObject) {
    return CanAcceptIo(DeviceObject) || PipeExt(DeviceObject)->SurpriseRemoved;
}

NTSTATUS NTAPI PipeCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IncrementIo(DeviceObject);
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    NTSTATUS status;
    if (!OpenAndCloseAllowed(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        if (file == NULL || file->FileName.Length == 0) {
            // The device itself, as opened through its interface: no pipe is bound.
            status = STATUS_SUCCESS;
        } else {
            PPIPE_ENTRY pipe = ResolvePipeName(ext, &file->FileName);
            if (pipe == NULL) {
                status = STATUS_INVALID_HANDLE;
            } else if (InterlockedCompareExchange((LONG volatile*)&pipe->PipeInfo->PipeFlags, PIPE_MARKER_OPEN,
                                                  PIPE_MARKER_CLOSED) != PIPE_MARKER_CLOSED) {
                status = STATUS_INVALID_HANDLE; // the first file object keeps the pipe
            } else {
                file->FsContext = pipe;
                file->FsContext2 = (PVOID)(ULONG_PTR)ext->ConfigGeneration;
                status = STATUS_SUCCESS;
            }
        }
    }
    CompleteRequest(Irp, status, 0);
    DecrementIo(DeviceObject);
    return status;
}

NTSTATUS NTAPI PipeClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IncrementIo(DeviceObject);
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    NTSTATUS status;
    if (!OpenAndCloseAllowed(DeviceObject)) {
        status = STATUS_DELETE_PENDING;
    } else {
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        PPIPE_ENTRY pipe = GetBoundPipe(ext, file);
        if (pipe != NULL && InterlockedCompareExchange((LONG volatile*)&pipe->PipeInfo->PipeFlags, PIPE_MARKER_CLOSED,
                                                       PIPE_MARKER_OPEN) == PIPE_MARKER_OPEN) {
            file->FsContext = NULL;
            file->FsContext2 = NULL;
            status = STATUS_SUCCESS;
        } else {
            if (file != NULL && pipe == NULL) {
                // A binding from an earlier configuration: forget it, it names nothing any more.
                file->FsContext = NULL;
                file->FsContext2 = NULL;
            }
            status = STATUS_INVALID_HANDLE;
        }
    }
    CompleteRequest(Irp, status, 0);
    DecrementIo(DeviceObject);
    return status;
}

// The last handle to a file object is closed: whatever the file still has outstanding on its pipe
// (reads a client left pending) ends now, through the failure path of the transfer engine, so that
// the close that follows can come and a removal is not held up. A pipe is bound to one file object
// at a time, so aborting it ends only that file's transfers. Not while a stop is releasing the pipe
// table; the stop ends them itself.
NTSTATUS NTAPI PipeCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IncrementIo(DeviceObject);
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    if (!ext->StopPending) {
        PPIPE_ENTRY pipe = GetBoundPipe(ext, IoGetCurrentIrpStackLocation(Irp)->FileObject);
        if (pipe != NULL) {
            AbortPipe(DeviceObject, pipe);
        }
    }
    CompleteRequest(Irp, STATUS_SUCCESS, 0);
    DecrementIo(DeviceObject);
    return STATUS_SUCCESS;
}
