// The port driver's entry point, dispatch table, AddDevice and the tuning values read from the
// device's hardware key.
#include "tarvelport.h"

// Driver-wide state. Nothing reads the registry path copy; it lives from load to unload.
UNICODE_STRING DriverRegistryPath;
ULONG DebugLevel;

namespace {

constexpr ULONG MAX_VALUE_NAME_CHARS = 255;
// Room for the query's fixed header, the name's alignment and a 4-byte value behind the name.
constexpr ULONG SETTING_QUERY_SLACK = 28;

// The settings read after the device exists, in the order they are read.
struct SETTING {
    PCWSTR Name;
    SIZE_T Offset;      // of the ULONG or LONG field in PORT_EXTENSION
    ULONG Default;
};

const SETTING DeviceSettings[] = {
    {L"RxReqSize", FIELD_OFFSET(PORT_EXTENSION, RxReqSize), 0},
    {L"RxPollPeriod", FIELD_OFFSET(PORT_EXTENSION, RxPollPeriod), 0},
    {L"CtlPollPeriod", FIELD_OFFSET(PORT_EXTENSION, CtlPollPeriod), 10},
    {L"RawDump", FIELD_OFFSET(PORT_EXTENSION, RawDump), 0},
    {L"TxKickThreshold", FIELD_OFFSET(PORT_EXTENSION, TxKickThreshold), 0},
    {L"TxAsync", FIELD_OFFSET(PORT_EXTENSION, TxAsync), 0},
    {L"NoBaudCheck", FIELD_OFFSET(PORT_EXTENSION, NoBaudCheck), 0},
    {L"TxAllowNullPacket", FIELD_OFFSET(PORT_EXTENSION, TxAllowNullPacket), 1},
};

// A kick threshold from the registry is at least one byte, and at most half the staging buffer.
ULONG AdjustKickThreshold(ULONG Threshold)
{
    if (Threshold == 0) {
        return 1;
    }
    if (Threshold >= TX_STAGE_SIZE) {
        return TX_STAGE_SIZE / 2;
    }
    return Threshold;
}

} // namespace

DRIVER_ENTRY INITCODE DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    ULONG Bytes = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    if (Bytes > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER;
    }
    DriverRegistryPath.Buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, Bytes, PORT_TAG_FILT);
    if (!DriverRegistryPath.Buffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(DriverRegistryPath.Buffer, Bytes);
    RtlCopyMemory(DriverRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    DriverRegistryPath.Length = RegistryPath->Length;
    DriverRegistryPath.MaximumLength = (USHORT)Bytes;

    for (ULONG Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; Major++) {
        DriverObject->MajorFunction[Major] = PortPassDown;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = PortCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = PortCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = PortReadWriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = PortReadWriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = PortFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PortCleanup;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PortPowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PortPnpDispatch;
    DriverObject->DriverExtension->AddDevice = PortAddDevice;
    DriverObject->DriverUnload = PortUnload;
    return STATUS_SUCCESS;
}

PAGEDCODE VOID NTAPI PortUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    if (DriverRegistryPath.Buffer) {
        ExFreePoolWithTag(DriverRegistryPath.Buffer, PORT_TAG_FILT);
        DriverRegistryPath.Buffer = NULL;
    }
}

NTSTATUS NTAPI PortPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(PortExtension(DeviceObject)->LowerDevice, Irp);
}

// Completion routine of a request that a routine of this driver forwards and then waits for: the
// waiting routine owns the request again and completes it itself, with the status it returns. The
// request is therefore not marked pending here: the waiting dispatch routine does not return
// STATUS_PENDING.
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Reads a 32-bit value from the device's hardware key: the first four bytes of its data, whatever
// its type. On any failure *Value is left as it is, so the caller's default applies.
PAGEDCODE NTSTATUS ReadDeviceSetting(PDEVICE_OBJECT PhysicalDevice, PCWSTR ValueName, PULONG Value)
{
    PAGED_CODE();

    HANDLE Key;
    NTSTATUS Status = IoOpenDeviceRegistryKey(PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &Key);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    WCHAR NameBuffer[MAX_VALUE_NAME_CHARS + 1];
    ULONG Chars = 0;
    while (Chars < MAX_VALUE_NAME_CHARS && ValueName[Chars]) {
        NameBuffer[Chars] = ValueName[Chars];
        Chars++;
    }
    NameBuffer[Chars] = 0;
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, NameBuffer);

    ULONG Size = Name.MaximumLength + SETTING_QUERY_SLACK;
    auto Info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, Size, PORT_TAG_FILT);
    if (!Info) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        ULONG ResultLength = 0;
        Status = ZwQueryValueKey(Key, &Name, KeyValueFullInformation, Info, Size, &ResultLength);
        if (NT_SUCCESS(Status)) {
            // Fewer than four bytes of data make no 32-bit number; the data must lie inside the
            // buffer the query filled.
            if (Info->DataLength < sizeof(ULONG) || Info->DataOffset > Size ||
                Size - Info->DataOffset < sizeof(ULONG)) {
                Status = STATUS_DATA_ERROR;
            } else {
                RtlCopyMemory(Value, (PUCHAR)Info + Info->DataOffset, sizeof(ULONG));
            }
        }
        ExFreePoolWithTag(Info, PORT_TAG_FILT);
    }
    ZwClose(Key);
    return Status;
}

PAGEDCODE NTSTATUS NTAPI PortAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();

    ReadDeviceSetting(PhysicalDeviceObject, L"DebugLevel", &DebugLevel);
    ULONG EndPointCaps = 0;
    ReadDeviceSetting(PhysicalDeviceObject, L"EndPointCaps", &EndPointCaps);
    // Only variants 1 to 3 of the device protocol exist. A value above them names a protocol this
    // driver does not speak: the device is then driven as one with the two data pipes only, and
    // nothing is sent that the device might read differently.
    if (EndPointCaps > 3) {
        EndPointCaps = 0;
    }

    PDEVICE_OBJECT DeviceObject;
    NTSTATUS Status = CreatePortDevice(DriverObject, PhysicalDeviceObject, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    DeviceObject->Flags |= Ext->LowerDevice->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
    DeviceObject->Flags |= DO_BUFFERED_IO;

    Ext->EndPointCaps = EndPointCaps;
    Ext->Self = DeviceObject;

    PreparePipeHandle(Ext, &Ext->RxPipe, PIPE_NAME_RECEIVE);
    PreparePipeHandle(Ext, &Ext->TxPipe, PIPE_NAME_TRANSMIT);
    if (EndPointCaps) {
        PreparePipeHandle(Ext, &Ext->StatusPipe, PIPE_NAME_STATUS);
    }

    IoInitializeRemoveLockEx(&Ext->RemoveLock, PORT_REMOVE_LOCK_TAG, 1, 10, sizeof(IO_REMOVE_LOCK));
    IoAcquireRemoveLockEx(&Ext->RemoveLock, NULL, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));

    KeInitializeEvent(&Ext->OpenCloseLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&Ext->SettingsLock, SynchronizationEvent, TRUE);
    Ext->RxStopped = TRUE;
    KeInitializeEvent(&Ext->RxIdleEvent, SynchronizationEvent, FALSE);
    Ext->StatusStopped = TRUE;
    KeInitializeEvent(&Ext->StatusIdleEvent, SynchronizationEvent, FALSE);
    Ext->TxStopped = TRUE;
    KeInitializeEvent(&Ext->TxIdleEvent, NotificationEvent, TRUE);

    KeInitializeSpinLock(&Ext->StatusLock);
    KeInitializeSpinLock(&Ext->EventLock);
    KeInitializeDeviceQueue(&Ext->ReadQueue);

    Ext->Timeouts.ReadIntervalTimeout = MAXULONG;
    Ext->LineControl.StopBits = STOP_BIT_1;
    Ext->LineControl.Parity = NO_PARITY;
    Ext->LineControl.WordLength = 8;
    Ext->BaudRate = PORT_DEFAULT_BAUD_RATE;
    Ext->InQueueSize = PORT_QUEUE_SIZE;
    Ext->OutQueueSize = PORT_QUEUE_SIZE;
    Ext->ReadMode = ReadModeImmediate;

    KeInitializeTimer(&Ext->RxTimer);
    KeInitializeDpc(&Ext->RxTimerDpc, RxTimerRoutine, DeviceObject);
    KeInitializeTimer(&Ext->ReadIntervalTimer);
    KeInitializeDpc(&Ext->ReadIntervalTimerDpc, ReadIntervalTimerRoutine, DeviceObject);
    KeInitializeTimer(&Ext->ReadTotalTimer);
    KeInitializeDpc(&Ext->ReadTotalTimerDpc, ReadTotalTimerRoutine, DeviceObject);

    for (const SETTING& Setting : DeviceSettings) {
        PULONG Field = (PULONG)((PUCHAR)Ext + Setting.Offset);
        *Field = Setting.Default;
        if (NT_SUCCESS(ReadDeviceSetting(PhysicalDeviceObject, Setting.Name, Field)) &&
            Field == &Ext->TxKickThreshold) {
            Ext->TxKickThreshold = AdjustKickThreshold(Ext->TxKickThreshold);
        }
    }

    KeInitializeTimer(&Ext->KickTimer);
    KeInitializeDpc(&Ext->KickTimerDpc, KickTimerRoutine, Ext);
    Ext->KickDelay.QuadPart = PORT_KICK_DELAY;

    RingInitialize(&Ext->RxRing);
    RingInitialize(&Ext->TxRing);
    Status = RingAllocate(&Ext->TxRing, Ext->OutQueueSize);
    if (!NT_SUCCESS(Status)) {
        // A half-built device must not stay in the stack: take everything back.
        IoReleaseRemoveLockEx(&Ext->RemoveLock, NULL, sizeof(IO_REMOVE_LOCK));
        DeletePortDevice(DeviceObject);
        return Status;
    }

    KeInitializeTimer(&Ext->StatusTimer);
    KeInitializeDpc(&Ext->StatusTimerDpc, StatusTimerRoutine, DeviceObject);

    KeInitializeTimer(&Ext->WriteTimer);
    KeInitializeDpc(&Ext->WriteTimerDpc, Ext->TxAsync ? BufferedWriteTimerRoutine : WriteTimerRoutine, Ext);
    InitializeListHead(&Ext->WriteQueue);
    KeInitializeSpinLock(&Ext->WriteLock);
    Ext->CurrentWriteIrp = NULL;
    Ext->TxState = 0;

    Ext->DevicePowerState = PortPowerUnknown;
    Ext->PnpState = PnpNotStarted;
    Ext->PreviousPnpState = PnpNotStarted;
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
