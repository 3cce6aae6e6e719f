// The lower channel: every request the port sends to the pipe driver directly below it. Pipes are
// reached through file objects embedded in the device extension, bound to a pipe by a create
// request that carries the pipe's name.
#include "tarvelport.h"

namespace {

// A device that never answers its status endpoint must not hold the caller (an open) for ever: the
// single status read gets this long, then it is cancelled.
constexpr LONGLONG STATUS_READ_ONCE_LIMIT_MS = 1000;

// The pipe driver finishes a request whose sender waits for it and frees it (a create or close, the
// single status read): the request stays the sender's, so that it can still be cancelled.
NTSTATUS NTAPI SenderOwnsRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Event, 1, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a device-control request of the pipe driver's private set and waits for it. Pipe, when
// given, names the pipe the request acts on.
NTSTATUS SendSynchronousControl(PPORT_EXTENSION Ext, ULONG IoControlCode, PPIPE_HANDLE Pipe, PVOID Input,
                                ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);

    PIRP Irp = IoBuildDeviceIoControlRequest(IoControlCode, Ext->LowerDevice, Input, InputLength, Output,
                                             OutputLength, FALSE, &Event, &IoStatus);
    if (!Irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Pipe) {
        IoGetNextIrpStackLocation(Irp)->FileObject = &Pipe->FileObject;
    }

    NTSTATUS Status = IoCallDriver(Ext->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = IoStatus.Status;
    }
    return Status;
}

} // namespace

VOID PreparePipeHandle(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, PCWSTR Name)
{
    ULONG Chars = 0;
    while (Chars < PIPE_NAME_CHARS - 1 && Name[Chars]) {
        Pipe->Name[Chars] = Name[Chars];
        Chars++;
    }
    Pipe->Name[Chars] = 0;
    Pipe->FileObject.DeviceObject = Ext->Self;
    RtlInitUnicodeString(&Pipe->FileObject.FileName, Pipe->Name);
    Pipe->CloseIrp = NULL;
}

// The close of an open pipe must reach the pipe driver whatever memory is left, or the pipe stays
// open below and every later open of the port is refused: its request is set aside before the pipe
// is opened and serves nothing else. A close of a pipe that is not open allocates its own.
NTSTATUS SendPipeOpenClose(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, BOOLEAN Open)
{
    // IoAllocateIrp hands the request out initialised for this stack size.
    PIRP Irp;
    if (Open) {
        if (!Pipe->CloseIrp) {
            Pipe->CloseIrp = IoAllocateIrp(Ext->Self->StackSize, FALSE);
            if (!Pipe->CloseIrp) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        Irp = IoAllocateIrp(Ext->Self->StackSize, FALSE);
    } else {
        Irp = Pipe->CloseIrp;
        Pipe->CloseIrp = NULL;
        if (!Irp) {
            Irp = IoAllocateIrp(Ext->Self->StackSize, FALSE);
        }
    }
    if (!Irp) {
        if (Pipe->CloseIrp) {
            IoFreeIrp(Pipe->CloseIrp);
            Pipe->CloseIrp = NULL;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = Open ? IRP_MJ_CREATE : IRP_MJ_CLOSE;
    Next->FileObject = &Pipe->FileObject;

    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(Irp, SenderOwnsRequest, &Event, TRUE, TRUE, TRUE);

    NTSTATUS Status = IoCallDriver(Ext->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    IoFreeIrp(Irp);
    if (Open && !NT_SUCCESS(Status)) {
        IoFreeIrp(Pipe->CloseIrp);
        Pipe->CloseIrp = NULL;
    }
    return Status;
}

NTSTATUS SendPipeControl(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, ULONG IoControlCode)
{
    return SendSynchronousControl(Ext, IoControlCode, Pipe, NULL, 0, NULL, 0);
}

NTSTATUS QueryPipePacketSize(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, PULONG PacketSize)
{
    if (Ext->SurpriseRemoved) {
        return STATUS_DELETE_PENDING;
    }
    if (!PacketSize) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG Answer = 0;
    NTSTATUS Status = SendSynchronousControl(Ext, IOCTL_PIPE_GET_MAX_PACKET_SIZE, Pipe, NULL, 0, &Answer,
                                             sizeof(Answer));
    if (NT_SUCCESS(Status)) {
        *PacketSize = Answer;
    }
    return Status;
}

NTSTATUS SendVendorCommand(PPORT_EXTENSION Ext, const UCHAR* Payload, USHORT Length)
{
    if (!Ext->LowerDevice) {
        return STATUS_DELETE_PENDING;
    }
    if (!Payload) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG Bytes = FIELD_OFFSET(VENDOR_COMMAND, Payload) + Length;
    auto Command = (PVENDOR_COMMAND)ExAllocatePoolWithTag(NonPagedPool, Bytes, PORT_TAG_FILT);
    if (!Command) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Command->RequestType = VENDOR_REQUEST_TYPE;
    Command->Request = VENDOR_REQUEST;
    Command->Value = 0;
    Command->Index = 0;
    Command->Length = Length;
    RtlCopyMemory(Command->Payload, Payload, Length);

    NTSTATUS Status = SendSynchronousControl(Ext, IOCTL_PIPE_CONTROL_TRANSFER, NULL, Command, Bytes, NULL, 0);
    ExFreePoolWithTag(Command, PORT_TAG_FILT);
    return Status;
}

NTSTATUS StartPipeRead(PPORT_EXTENSION Ext, PVOID Buffer, ULONG Length, PPIPE_HANDLE Pipe,
                       PIO_COMPLETION_ROUTINE Completion, PKEVENT IdleEvent)
{
    if (!Buffer || Length == 0 || !Pipe) {
        if (IdleEvent) {
            KeSetEvent(IdleEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_INVALID_PARAMETER;
    }

    PIRP Irp = BuildPipeRead(Ext, Buffer, Length, Pipe, Completion);
    if (!Irp) {
        if (IdleEvent) {
            KeSetEvent(IdleEvent, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return IoCallDriver(Ext->LowerDevice, Irp);
}

PIRP BuildPipeRead(PPORT_EXTENSION Ext, PVOID Buffer, ULONG Length, PPIPE_HANDLE Pipe,
                   PIO_COMPLETION_ROUTINE Completion)
{
    LARGE_INTEGER Offset;
    Offset.QuadPart = 0;
    PIRP Irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Ext->LowerDevice, Buffer, Length, &Offset, NULL);
    if (!Irp) {
        return NULL;
    }
    IoGetNextIrpStackLocation(Irp)->FileObject = &Pipe->FileObject;
    IoSetCompletionRoutine(Irp, Completion, Ext, TRUE, TRUE, TRUE);
    return Irp;
}

// One status byte, waited for up to STATUS_READ_ONCE_LIMIT_MS; a read still outstanding then is
// cancelled and the result is STATUS_IO_TIMEOUT.
NTSTATUS ReadPipeOnce(PPORT_EXTENSION Ext, PUCHAR Buffer)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    LARGE_INTEGER Offset;
    Offset.QuadPart = 0;
    PIRP Irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, Ext->LowerDevice, Buffer, 1, &Offset, NULL);
    if (!Irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(Irp)->FileObject = &Ext->StatusPipe.FileObject;
    IoSetCompletionRoutine(Irp, SenderOwnsRequest, &Event, TRUE, TRUE, TRUE);

    IoCallDriver(Ext->LowerDevice, Irp);
    NTSTATUS Status;
    LARGE_INTEGER Limit = RelativeMs(STATUS_READ_ONCE_LIMIT_MS);
    if (KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Limit) == STATUS_TIMEOUT) {
        IoCancelIrp(Irp);
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = STATUS_IO_TIMEOUT;
    } else {
        Status = Irp->IoStatus.Status;
    }
    FreePortIrp(Irp);
    return Status;
}

VOID SetPipeWrite(PPORT_EXTENSION Ext, PIRP Irp, ULONG Length)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    Next->MinorFunction = 0;
    Next->Flags = 0;
    Next->Control = 0;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE_BUFFERED;
    Next->Parameters.DeviceIoControl.InputBufferLength = Length;
    Next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    Next->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    Next->FileObject = &Ext->TxPipe.FileObject;
}

VOID FreePortIrp(PIRP Irp)
{
    PMDL Mdl = Irp->MdlAddress;
    while (Mdl) {
        PMDL NextMdl = Mdl->Next;
        if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(Mdl);
        }
        IoFreeMdl(Mdl);
        Mdl = NextMdl;
    }
    Irp->MdlAddress = NULL;
    IoFreeIrp(Irp);
}
