// How applications find the port: the device object under the first free "\Device\tarvelportN",
// the COM port device interface, and, once the device has started, the DOS name from the hardware
// key's PortName linked to the device and published in SERIALCOMM.
#include "tarvelport.h"

namespace {

// The COM port interface class (GUID_DEVINTERFACE_COMPORT), defined here so that the driver needs no
// GUID-defining library.
const GUID ComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

constexpr WCHAR DEVICE_NAME_PREFIX[] = L"\\Device\\tarvelport";
constexpr WCHAR DOS_DEVICES_PREFIX[] = L"\\DosDevices\\";
constexpr WCHAR SERIALCOMM_KEY[] = L"SERIALCOMM";
// KEY_VALUE_FULL_INFORMATION for "PortName" with up to 256 bytes of data.
constexpr ULONG PORT_NAME_QUERY_SIZE = 298;

// Formats "\Device\tarvelport<Number>" into Name, whose buffer holds PORT_DEVICE_NAME_CHARS
// characters; the result ends in a terminating zero.
NTSTATUS FormatDeviceName(PUNICODE_STRING Name, ULONG Number)
{
    Name->Length = 0;
    NTSTATUS Status = RtlAppendUnicodeToString(Name, DEVICE_NAME_PREFIX);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    WCHAR DigitsBuffer[12];
    UNICODE_STRING Digits = {0, sizeof(DigitsBuffer), DigitsBuffer};
    Status = RtlIntegerToUnicodeString(Number, 10, &Digits);
    if (NT_SUCCESS(Status)) {
        Status = RtlAppendUnicodeStringToString(Name, &Digits);
    }
    if (NT_SUCCESS(Status)) {
        Name->Buffer[Name->Length / sizeof(WCHAR)] = 0;
    }
    return Status;
}

ULONG WideLength(PCWSTR Text)
{
    ULONG Chars = 0;
    while (Text[Chars]) {
        Chars++;
    }
    return Chars;
}

// Disables the COM port interface and frees its link name.
PAGEDCODE VOID DropInterface(PPORT_EXTENSION Ext)
{
    if (Ext->InterfaceLinkName.Buffer) {
        IoSetDeviceInterfaceState(&Ext->InterfaceLinkName, FALSE);
        ExFreePool(Ext->InterfaceLinkName.Buffer);
        Ext->InterfaceLinkName.Buffer = NULL;
        Ext->InterfaceLinkName.Length = 0;
        Ext->InterfaceLinkName.MaximumLength = 0;
    }
}

PAGEDCODE VOID FreeDeviceName(PPORT_EXTENSION Ext)
{
    if (Ext->DeviceName.Buffer) {
        ExFreePoolWithTag(Ext->DeviceName.Buffer, PORT_TAG_INIT);
        Ext->DeviceName.Buffer = NULL;
        Ext->DeviceName.Length = 0;
        Ext->DeviceName.MaximumLength = 0;
    }
}

PAGEDCODE VOID FreePortLinkName(PPORT_EXTENSION Ext)
{
    if (Ext->PortLinkName.Buffer) {
        ExFreePoolWithTag(Ext->PortLinkName.Buffer, PORT_TAG_INIT);
        Ext->PortLinkName.Buffer = NULL;
        Ext->PortLinkName.Length = 0;
        Ext->PortLinkName.MaximumLength = 0;
    }
}

} // namespace

PAGEDCODE NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice, PDEVICE_OBJECT* Device)
{
    PAGED_CODE();
    *Device = NULL;

    WCHAR NameBuffer[PORT_DEVICE_NAME_CHARS];
    UNICODE_STRING Name = {0, (PORT_DEVICE_NAME_CHARS - 1) * sizeof(WCHAR), NameBuffer};
    PDEVICE_OBJECT DeviceObject = NULL;
    NTSTATUS Status = STATUS_OBJECT_NAME_COLLISION;
    for (ULONG Number = 0; Number < PORT_DEVICE_NUMBERS; Number++) {
        Status = FormatDeviceName(&Name, Number);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Status = IoCreateDevice(DriverObject, sizeof(PORT_EXTENSION), &Name, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                                &DeviceObject);
        if (Status != STATUS_OBJECT_NAME_COLLISION) {
            break;
        }
    }
    // Every number taken leaves the last collision as the status: no device is made.
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    RtlZeroMemory(Ext, sizeof(PORT_EXTENSION));
    Ext->PhysicalDevice = PhysicalDevice;

    Status = IoRegisterDeviceInterface(PhysicalDevice, &ComPortInterface, NULL, &Ext->InterfaceLinkName);
    if (!NT_SUCCESS(Status)) {
        Ext->InterfaceLinkName.Buffer = NULL;
        IoDeleteDevice(DeviceObject);
        return Status;
    }

    // A port that applications cannot find through its interface is not made at all.
    Status = IoSetDeviceInterfaceState(&Ext->InterfaceLinkName, TRUE);
    if (!NT_SUCCESS(Status)) {
        ExFreePool(Ext->InterfaceLinkName.Buffer);
        Ext->InterfaceLinkName.Buffer = NULL;
        IoDeleteDevice(DeviceObject);
        return Status;
    }

    ULONG Bytes = Name.Length + sizeof(WCHAR);
    Ext->DeviceName.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, Bytes, PORT_TAG_INIT);
    if (!Ext->DeviceName.Buffer) {
        DropInterface(Ext);
        IoDeleteDevice(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(Ext->DeviceName.Buffer, Bytes);
    Ext->DeviceName.Length = 0;
    Ext->DeviceName.MaximumLength = (USHORT)Bytes;
    RtlAppendUnicodeToString(&Ext->DeviceName, NameBuffer);

    Ext->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDevice);
    if (!Ext->LowerDevice) {
        DropInterface(Ext);
        FreeDeviceName(Ext);
        IoDeleteDevice(DeviceObject);
        return STATUS_NO_SUCH_DEVICE;
    }

    *Device = DeviceObject;
    return STATUS_SUCCESS;
}

// Undoes CreatePortDevice (and a naming, if any): the device leaves the stack and is deleted.
PAGEDCODE VOID DeletePortDevice(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    UnnamePort(Ext);
    if (Ext->LowerDevice) {
        IoDetachDevice(Ext->LowerDevice);
        Ext->LowerDevice = NULL;
    }
    FreeDeviceName(Ext);
    IoDeleteDevice(DeviceObject);
}

// Reads PortName into Destination (PORT_NAME_BYTES bytes). Succeeds only with a usable name: not
// empty, and ending in a terminating zero inside the destination (data of up to 254 bytes without
// one are terminated here).
PAGEDCODE NTSTATUS ReadPortName(HANDLE Key, PWCHAR Destination)
{
    PAGED_CODE();

    auto Info = (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, PORT_NAME_QUERY_SIZE, PORT_TAG_INIT);
    if (!Info) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, L"PortName");
    ULONG ResultLength = 0;
    NTSTATUS Status = ZwQueryValueKey(Key, &ValueName, KeyValueFullInformation, Info, PORT_NAME_QUERY_SIZE,
                                      &ResultLength);
    if (NT_SUCCESS(Status)) {
        RtlZeroMemory(Destination, PORT_NAME_BYTES);
        ULONG DataLength = Info->DataLength;
        if (DataLength > PORT_NAME_BYTES || Info->DataOffset > PORT_NAME_QUERY_SIZE ||
            PORT_NAME_QUERY_SIZE - Info->DataOffset < DataLength) {
            Status = STATUS_OBJECT_NAME_INVALID;
        } else {
            RtlCopyMemory(Destination, (PUCHAR)Info + Info->DataOffset, DataLength);
            ULONG Chars = 0;
            while (Chars < PORT_NAME_BYTES / sizeof(WCHAR) && Destination[Chars]) {
                Chars++;
            }
            if (Chars == 0 || Chars == PORT_NAME_BYTES / sizeof(WCHAR)) {
                Status = STATUS_OBJECT_NAME_INVALID;
            }
        }
        if (!NT_SUCCESS(Status)) {
            RtlZeroMemory(Destination, PORT_NAME_BYTES);
        }
    }
    ExFreePoolWithTag(Info, PORT_TAG_INIT);
    return Status;
}

PAGEDCODE NTSTATUS NamePort(PDEVICE_OBJECT DeviceObject)
{
    PAGED_CODE();
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    // Named already (a start that follows a successful one without a stop): nothing to make.
    if (Ext->PortLinkName.Buffer) {
        return STATUS_SUCCESS;
    }

    HANDLE Key;
    NTSTATUS Status = IoOpenDeviceRegistryKey(Ext->PhysicalDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &Key);
    if (Status != STATUS_SUCCESS) {
        return Status;
    }

    Ext->PortLinkName.Length = 0;
    Ext->PortLinkName.MaximumLength = PORT_NAME_BYTES;
    Ext->PortLinkName.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, PORT_NAME_BYTES, PORT_TAG_INIT);
    if (!Ext->PortLinkName.Buffer) {
        Ext->PortLinkName.MaximumLength = 0;
        ZwClose(Key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    WCHAR PortName[PORT_NAME_BYTES / sizeof(WCHAR)];
    Status = ReadPortName(Key, PortName);
    ZwClose(Key);

    // The link name must hold "\DosDevices\" and the whole port name; a name that does not fit
    // is refused rather than linked cut short.
    if (NT_SUCCESS(Status)) {
        Status = RtlAppendUnicodeToString(&Ext->PortLinkName, DOS_DEVICES_PREFIX);
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlAppendUnicodeToString(&Ext->PortLinkName, PortName);
    }
    if (NT_SUCCESS(Status)) {
        Status = IoCreateSymbolicLink(&Ext->PortLinkName, &Ext->DeviceName);
    }
    if (NT_SUCCESS(Status)) {
        Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIALCOMM_KEY, Ext->DeviceName.Buffer, REG_SZ,
                                       PortName, (WideLength(PortName) + 1) * sizeof(WCHAR));
        if (!NT_SUCCESS(Status)) {
            IoDeleteSymbolicLink(&Ext->PortLinkName);
        }
    }
    // A failed naming leaves nothing behind: no link, no value, no buffer.
    if (!NT_SUCCESS(Status)) {
        FreePortLinkName(Ext);
    }
    return Status;
}

PAGEDCODE VOID UnnamePort(PPORT_EXTENSION Ext)
{
    PAGED_CODE();
    if (Ext->PortLinkName.Buffer) {
        IoDeleteSymbolicLink(&Ext->PortLinkName);
        FreePortLinkName(Ext);
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SERIALCOMM_KEY, Ext->DeviceName.Buffer);
    }
    DropInterface(Ext);
}
