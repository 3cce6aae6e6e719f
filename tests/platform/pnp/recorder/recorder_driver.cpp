// The recording test driver: a small WDM driver, built twice. As pnprecfunc it is a function driver
// with a read buffer, echo controls, a held control, a device name, a link and an interface, and,
// when asked, power policy and wait-wake; as pnprecfilter (RECORDER_FILTER) an upper filter that
// passes everything down. Both report each request to the test's sink before handling it.
#include <ntddk.h>

#include "recorder.h"

#ifdef RECORDER_FILTER
#define RECORDER_NAME "filter"
#define RECORDER_VALUE_FAIL_PNP RECORDER_VALUE_FILTER_FAIL_PNP
#else
#define RECORDER_VALUE_FAIL_PNP RECORDER_VALUE_FUNC_FAIL_PNP
#define RECORDER_NAME "func"
#endif

namespace {

constexpr ULONG kTag = 'ceRP'; // "PRec"

struct RECORDER_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Physical;
    ULONG FailPnp;
    ULONG EmptyPnp;
    ULONG PowerPolicy;
    ULONG WaitWake;
    ULONG KeepDevice;
    DEVICE_CAPABILITIES Capabilities;
    BOOLEAN Linked;
    UNICODE_STRING LinkName;
    WCHAR LinkBuffer[64];
    UNICODE_STRING InterfaceName;
    KSPIN_LOCK Lock;
    UCHAR* Data; // RECORDER_BUFFER_SIZE bytes from pool
    ULONG Count;
    PIRP PendingRead;
    PIRP HeldControl;
};

RecorderSink* Sink; // set by the first AddDevice, from the hardware key

RECORDER_EXTENSION* Ext(PDEVICE_OBJECT device) { return static_cast<RECORDER_EXTENSION*>(device->DeviceExtension); }

void Record(const char* what, ULONG a = 0xFFFFFFFF, ULONG b = 0xFFFFFFFF, ULONG c = 0xFFFFFFFF) {
    if (Sink == nullptr) return;
    char text[128];
    int length = 0;
    for (const char* p = RECORDER_NAME ":"; *p; ++p) text[length++] = *p;
    for (const char* p = what; *p && length < 80; ++p) text[length++] = *p;
    const ULONG numbers[3] = {a, b, c};
    for (ULONG n : numbers) {
        if (n == 0xFFFFFFFF) break;
        text[length++] = ':';
        text[length++] = '0';
        text[length++] = 'x';
        for (int shift = (n > 0xFF ? 28 : 4); shift >= 0; shift -= 4)
            text[length++] = "0123456789abcdef"[(n >> shift) & 0xF];
    }
    text[length] = 0;
    Sink->record(Sink->context, text);
}

ULONG ReadValue(HANDLE key, PCWSTR name, PVOID data, ULONG size) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 16] = {};
    ULONG length = 0;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof(buffer), &length)))
        return 0;
    const ULONG copied = info->DataLength < size ? info->DataLength : size;
    RtlCopyMemory(data, info->Data, copied);
    return copied;
}

ULONG ReadDword(HANDLE key, PCWSTR name) {
    ULONG value = 0;
    ReadValue(key, name, &value, sizeof(value));
    return value;
}

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Ext(device)->Lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

#ifndef RECORDER_FILTER
const GUID kInterface = RECORDER_INTERFACE_GUID;

void NTAPI WaitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK status) {
    Record("WaitWakeCallback", static_cast<ULONG>(status->Status));
}

void NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    RECORDER_EXTENSION* ext = Ext(device);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    if (ext->PendingRead == irp) ext->PendingRead = nullptr;
    if (ext->HeldControl == irp) ext->HeldControl = nullptr;
    KeReleaseSpinLock(&ext->Lock, irql);
    CompleteRequest(irp, STATUS_CANCELLED);
}

PVOID BufferOf(PIRP irp) {
    if (irp->AssociatedIrp.SystemBuffer != nullptr) return irp->AssociatedIrp.SystemBuffer;
    if (irp->MdlAddress != nullptr) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    return nullptr;
}

// Moves buffered bytes into a read; the caller holds the lock.
ULONG TakeBytes(RECORDER_EXTENSION* ext, PIRP irp) {
    const ULONG wanted = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    const ULONG taken = wanted < ext->Count ? wanted : ext->Count;
    if (taken > 0) {
        RtlCopyMemory(BufferOf(irp), ext->Data, taken);
        RtlMoveMemory(ext->Data, ext->Data + taken, ext->Count - taken);
        ext->Count -= taken;
    }
    return taken;
}

NTSTATUS NTAPI Read(PDEVICE_OBJECT device, PIRP irp) {
    RECORDER_EXTENSION* ext = Ext(device);
    Record("Read", IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    if (ext->Count > 0 || IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
        const ULONG taken = TakeBytes(ext, irp);
        KeReleaseSpinLock(&ext->Lock, irql);
        return CompleteRequest(irp, STATUS_SUCCESS, taken);
    }
    if (ext->PendingRead != nullptr) {
        KeReleaseSpinLock(&ext->Lock, irql);
        return CompleteRequest(irp, STATUS_DEVICE_BUSY);
    }
    IoMarkIrpPending(irp);
    ext->PendingRead = irp;
    (void)IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        ext->PendingRead = nullptr;
        KeReleaseSpinLock(&ext->Lock, irql);
        CompleteRequest(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&ext->Lock, irql);
    return STATUS_PENDING;
}

NTSTATUS NTAPI Write(PDEVICE_OBJECT device, PIRP irp) {
    RECORDER_EXTENSION* ext = Ext(device);
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    Record("Write", length);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    if (length > RECORDER_BUFFER_SIZE - ext->Count) {
        KeReleaseSpinLock(&ext->Lock, irql);
        return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
    }
    if (length > 0) RtlCopyMemory(ext->Data + ext->Count, BufferOf(irp), length);
    ext->Count += length;
    PIRP waiting = ext->PendingRead;
    if (waiting != nullptr && IoSetCancelRoutine(waiting, nullptr) != nullptr) {
        ext->PendingRead = nullptr;
        const ULONG taken = TakeBytes(ext, waiting);
        KeReleaseSpinLock(&ext->Lock, irql);
        CompleteRequest(waiting, STATUS_SUCCESS, taken);
    } else {
        KeReleaseSpinLock(&ext->Lock, irql);
    }
    return CompleteRequest(irp, STATUS_SUCCESS, length);
}

NTSTATUS NTAPI Control(PDEVICE_OBJECT device, PIRP irp) {
    RECORDER_EXTENSION* ext = Ext(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    const ULONG in = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = location->Parameters.DeviceIoControl.OutputBufferLength;
    Record("Control", code);
    const ULONG echoed = in < out ? in : out;
    switch (code) {
    case IOCTL_RECORDER_ECHO_BUFFERED: // input and output share the system buffer
    case IOCTL_RECORDER_WRITE_ACCESS:
        return CompleteRequest(irp, STATUS_SUCCESS, echoed);
    case IOCTL_RECORDER_ECHO_IN_DIRECT:
    case IOCTL_RECORDER_ECHO_OUT_DIRECT: {
        if (echoed > 0) {
            PVOID output = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
            RtlCopyMemory(output, irp->AssociatedIrp.SystemBuffer, echoed);
        }
        return CompleteRequest(irp, STATUS_SUCCESS, echoed);
    }
    case IOCTL_RECORDER_ECHO_NEITHER:
        if (echoed > 0) RtlCopyMemory(irp->UserBuffer, location->Parameters.DeviceIoControl.Type3InputBuffer, echoed);
        return CompleteRequest(irp, STATUS_SUCCESS, echoed);
    case IOCTL_RECORDER_OVERFLOW:
        RtlFillMemory(irp->AssociatedIrp.SystemBuffer, out, 0x5A);
        return CompleteRequest(irp, STATUS_BUFFER_OVERFLOW, out);
    case IOCTL_RECORDER_HOLD: {
        KIRQL irql;
        KeAcquireSpinLock(&ext->Lock, &irql);
        IoMarkIrpPending(irp);
        ext->HeldControl = irp;
        (void)IoSetCancelRoutine(irp, CancelRead);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            ext->HeldControl = nullptr;
            KeReleaseSpinLock(&ext->Lock, irql);
            CompleteRequest(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&ext->Lock, irql);
        return STATUS_PENDING;
    }
    default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction) {
    case IRP_MJ_CREATE: {
        // The file name's length tells the test what the driver got ("\PIPE00" is 7 characters).
        Record("Create", location->FileObject->FileName.Length / sizeof(WCHAR));
        break;
    }
    case IRP_MJ_CLEANUP: Record("Cleanup"); break;
    case IRP_MJ_CLOSE: Record("Close"); break;
    default: Record("Flush"); break;
    }
    return CompleteRequest(irp, STATUS_SUCCESS);
}

struct SystemPowerContext {
    PIRP SystemIrp;
};

void NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
    auto* ctx = static_cast<SystemPowerContext*>(context);
    Record("DevicePowerCallback", minor, state.DeviceState, static_cast<ULONG>(status->Status));
    PIRP systemIrp = ctx->SystemIrp;
    ExFreePoolWithTag(ctx, kTag);
    PoStartNextPowerIrp(systemIrp);
    CompleteRequest(systemIrp, status->Status);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    RECORDER_EXTENSION* ext = Ext(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE state;
    state.DeviceState = ext->Capabilities.DeviceState[location->Parameters.Power.State.SystemState];
    auto* ctx = static_cast<SystemPowerContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SystemPowerContext), kTag));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (ctx != nullptr) {
        ctx->SystemIrp = irp;
        status = PoRequestPowerIrp(ext->Physical, location->MinorFunction, state, DevicePowerDone, ctx, nullptr);
        if (NT_SUCCESS(status)) return STATUS_MORE_PROCESSING_REQUIRED;
        ExFreePoolWithTag(ctx, kTag);
    }
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    return STATUS_SUCCESS;
}
#endif

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const bool setOrQuery = location->MinorFunction == IRP_MN_SET_POWER || location->MinorFunction == IRP_MN_QUERY_POWER;
    if (setOrQuery)
        Record("Power", location->MinorFunction, location->Parameters.Power.Type,
               location->Parameters.Power.State.SystemState);
    else
        Record("Power", location->MinorFunction);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Record("PowerAtRaisedIrql");
#ifndef RECORDER_FILTER
    RECORDER_EXTENSION* ext = Ext(device);
    if (setOrQuery && location->Parameters.Power.Type == SystemPowerState && ext->PowerPolicy) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SystemPowerDone, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(ext->Lower, irp);
        return STATUS_PENDING;
    }
    if (location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
#endif
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
    RECORDER_EXTENSION* ext = Ext(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = location->MinorFunction;
    Record("PnP", minor);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) Record("PnpAtRaisedIrql");
    // What the PnP manager sent, as the top of the stack sees it (a removal finds the filter gone).
    if (device->AttachedDevice == nullptr && minor != IRP_MN_REMOVE_DEVICE && irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        Record("PnpStatusNotInitialised");
    if (ext->FailPnp == ULONG(minor) + 1) return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
    if (ext->EmptyPnp == ULONG(minor) + 1) return CompleteRequest(irp, STATUS_SUCCESS);
    switch (minor) {
    case IRP_MN_START_DEVICE: {
        const NTSTATUS status = ForwardAndWait(device, irp);
#ifndef RECORDER_FILTER
        if (NT_SUCCESS(status)) {
            if (ext->InterfaceName.Buffer != nullptr) IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
            if (ext->WaitWake) {
                POWER_STATE wake;
                wake.SystemState = ext->Capabilities.SystemWake;
                Record("WaitWakeRequested", static_cast<ULONG>(
                                                PoRequestPowerIrp(ext->Physical, IRP_MN_WAIT_WAKE, wake, WaitWakeDone, ext, nullptr)));
            }
        }
#endif
        return CompleteRequest(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        const NTSTATUS status = ForwardAndWait(device, irp);
        if (NT_SUCCESS(status)) ext->Capabilities = *location->Parameters.DeviceCapabilities.Capabilities;
        return CompleteRequest(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        if (ext->InterfaceName.Buffer != nullptr) IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (ext->InterfaceName.Buffer != nullptr) {
            IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
            RtlFreeUnicodeString(&ext->InterfaceName);
        }
        if (ext->Linked) IoDeleteSymbolicLink(&ext->LinkName);
        irp->IoStatus.Status = STATUS_SUCCESS;
        if (ext->Data != nullptr) ExFreePoolWithTag(ext->Data, kTag);
        ext->Data = nullptr;
        if (ext->KeepDevice) return PassDown(device, irp);
        // Leave the stack before the removal goes down, so that the driver below never deletes its
        // device with this one still attached above it; the emulated I/O manager stops on that.
        PDEVICE_OBJECT lower = ext->Lower;
        IoDetachDevice(lower);
        IoSkipCurrentIrpStackLocation(irp);
        const NTSTATUS status = IoCallDriver(lower, irp);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    default:
        return PassDown(device, irp);
    }
}

NTSTATUS NTAPI PassThrough(PDEVICE_OBJECT device, PIRP irp) {
    Record("PassThrough", IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    return PassDown(device, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
    HANDLE key = nullptr;
    ULONG failAdd = 0, failPnp = 0, index = 0, exclusive = 0, direct = 0, policy = 0, waitWake = 0;
    ULONG keepDevice = 0, stayInitializing = 0, emptyPnp = 0;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(physical, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        RecorderSink* sink = nullptr;
        if (ReadValue(key, RECORDER_VALUE_SINK, &sink, sizeof(sink)) == sizeof(sink)) Sink = sink;
        failPnp = ReadDword(key, RECORDER_VALUE_FAIL_PNP);
        failAdd = ReadDword(key, RECORDER_VALUE_FAIL_ADD_DEVICE);
#ifndef RECORDER_FILTER
        emptyPnp = ReadDword(key, RECORDER_VALUE_FUNC_EMPTY_PNP);
#endif
        index = ReadDword(key, RECORDER_VALUE_INDEX);
        exclusive = ReadDword(key, RECORDER_VALUE_EXCLUSIVE);
        direct = ReadDword(key, RECORDER_VALUE_DIRECT_IO);
        policy = ReadDword(key, RECORDER_VALUE_POWER_POLICY);
        waitWake = ReadDword(key, RECORDER_VALUE_WAIT_WAKE);
        keepDevice = ReadDword(key, RECORDER_VALUE_KEEP_DEVICE);
        stayInitializing = ReadDword(key, RECORDER_VALUE_STAY_INITIALIZING);
        ZwClose(key);
    }
    Record("AddDevice");
#ifdef RECORDER_FILTER
    if (failAdd) return STATUS_INSUFFICIENT_RESOURCES;
    PUNICODE_STRING name = nullptr;
    (void)index;
    (void)exclusive;
    (void)direct;
#else
    (void)failAdd;
    WCHAR nameBuffer[64];
    UNICODE_STRING nameString;
    swprintf(nameBuffer, L"\\Device\\PnpRecorder%lu", index);
    RtlInitUnicodeString(&nameString, nameBuffer);
    PUNICODE_STRING name = &nameString;
#endif
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(RECORDER_EXTENSION), name, FILE_DEVICE_UNKNOWN, 0,
                                     exclusive ? TRUE : FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    RECORDER_EXTENSION* ext = Ext(device);
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Self = device;
    ext->Physical = physical;
    ext->FailPnp = failPnp;
    ext->EmptyPnp = emptyPnp;
    ext->PowerPolicy = policy;
    ext->WaitWake = waitWake;
    ext->KeepDevice = keepDevice;
    KeInitializeSpinLock(&ext->Lock);
    ext->Lower = IoAttachDeviceToDeviceStack(device, physical);
    if (ext->Lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
#ifdef RECORDER_FILTER
    device->Flags |= ext->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
#else
    device->Flags |= (direct ? DO_DIRECT_IO : DO_BUFFERED_IO) | DO_POWER_PAGABLE;
    ext->Data = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, RECORDER_BUFFER_SIZE, kTag));
    swprintf(ext->LinkBuffer, L"\\DosDevices\\PNPREC%lu", index);
    RtlInitUnicodeString(&ext->LinkName, ext->LinkBuffer);
    ext->Linked = NT_SUCCESS(IoCreateSymbolicLink(&ext->LinkName, name));
    IoRegisterDeviceInterface(physical, &kInterface, nullptr, &ext->InterfaceName);
    if (ext->Data == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
#endif
    if (!stayInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

void NTAPI Unload(PDRIVER_OBJECT) {
    Record("Unload");
    Sink = nullptr;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = PassThrough;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PassDown;  // not a WMI provider: every such request goes down
#ifndef RECORDER_FILTER
    driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = CreateClose;
    driver->MajorFunction[IRP_MJ_READ] = Read;
    driver->MajorFunction[IRP_MJ_WRITE] = Write;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Control;
#endif
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
