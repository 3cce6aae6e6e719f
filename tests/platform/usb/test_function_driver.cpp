#include "test_function_driver.h"

#include <cstring>

#include "tarvel/io.h"

namespace tarvel::usb::test {
namespace {

constexpr ULONG kTag = 'tsUT';

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS NTAPI PassPowerDown(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Ext(device)->Lower, irp);
}

PDRIVER_OBJECT TestDriver() {
    static DRIVER_OBJECT driver{};
    static bool initialised = false;
    if (!initialised) {
        io::InitializeDriverObject(&driver, "usbtestfn");
        for (auto& d : driver.MajorFunction) d = PassDown;
        driver.MajorFunction[IRP_MJ_POWER] = PassPowerDown;
        initialised = true;
    }
    return &driver;
}

NTSTATUS NTAPI AsyncDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* a = static_cast<ASYNC_URB*>(context);
    ++a->Completions;
    if (a->Urb && NT_SUCCESS(irp->IoStatus.Status)) a->Bytes += a->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (a->Resubmit && NT_SUCCESS(irp->IoStatus.Status)) {  // keep the pipe busy: the same URB again at once
        --a->Resubmit;
        a->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength = a->Length;  // the bus wrote the bytes moved there
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = a->Urb;
        IoSetCompletionRoutine(irp, AsyncDone, a, TRUE, TRUE, TRUE);
        IoCallDriver(a->Target, irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    a->Status = irp->IoStatus.Status;
    a->Finished = TRUE;
    KeSetEvent(&a->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PURB AllocateUrb(std::size_t size) {
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
    std::memset(urb, 0, size);
    return urb;
}

}  // namespace

TEST_EXTENSION* Ext(PDEVICE_OBJECT device) { return static_cast<TEST_EXTENSION*>(device->DeviceExtension); }

PDEVICE_OBJECT AddTestDevice(PDEVICE_OBJECT physicalDevice) {
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(TestDriver(), sizeof(TEST_EXTENSION), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device)))
        return nullptr;
    TEST_EXTENSION* ext = Ext(device);
    std::memset(ext, 0, sizeof *ext);
    ext->Self = device;
    ext->Lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void DeconfigureTestDevice(PDEVICE_OBJECT device) {
    TEST_EXTENSION* ext = Ext(device);
    if (ext->SelectUrb) ExFreePool(ext->SelectUrb);
    if (ext->Configuration) ExFreePool(ext->Configuration);
    if (ext->DeviceDescriptor) ExFreePool(ext->DeviceDescriptor);
    ext->SelectUrb = nullptr;
    ext->Configuration = nullptr;
    ext->DeviceDescriptor = nullptr;
}

void RemoveTestDevice(PDEVICE_OBJECT device) {
    DeconfigureTestDevice(device);
    IoDetachDevice(Ext(device)->Lower);
    IoDeleteDevice(device);
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, Ext(device)->Lower, nullptr, 0, nullptr, 0,
                                             TRUE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(Ext(device)->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS SendPortRequest(PDEVICE_OBJECT device, ULONG code, PVOID argument) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, Ext(device)->Lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(Ext(device)->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

PURB BuildGetDescriptor(UCHAR type, PVOID buffer, ULONG length) {
    PURB urb = AllocateUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer, nullptr, length, nullptr);
    return urb;
}

NTSTATUS ConfigureTestDevice(PDEVICE_OBJECT device) {
    TEST_EXTENSION* ext = Ext(device);
    ext->DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, 18, kTag));
    PURB urb = BuildGetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, ext->DeviceDescriptor, 18);
    NTSTATUS status = SubmitUrbSync(device, urb);
    ULONG size = 521;
    for (int attempt = 0; NT_SUCCESS(status) && attempt < 2; ++attempt) {
        if (ext->Configuration) ExFreePool(ext->Configuration);
        ext->Configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
        std::memset(ext->Configuration, 0, size);
        UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0,
                                     ext->Configuration, nullptr, size, nullptr);
        status = SubmitUrbSync(device, urb);
        ++ext->DescriptorRequests;
        if (!NT_SUCCESS(status) || urb->UrbControlDescriptorRequest.TransferBufferLength == 0) break;
        if (urb->UrbControlDescriptorRequest.TransferBufferLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
            status = STATUS_DEVICE_DATA_ERROR;
            break;
        }
        if (ext->Configuration->wTotalLength <= size) break;
        size = ext->Configuration->wTotalLength;
    }
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) return status;
    int found = 0;
    for (LONG number = 0; number < 256 && found < ext->Configuration->bNumInterfaces && found < 7; ++number) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(ext->Configuration, ext->Configuration, number, -1, -1, -1, -1);
        if (d) ext->Interfaces[found++] = USBD_INTERFACE_LIST_ENTRY{d, nullptr};
    }
    ext->Interfaces[found] = USBD_INTERFACE_LIST_ENTRY{nullptr, nullptr};
    if (found == 0) return STATUS_UNSUCCESSFUL;
    ext->SelectUrb = USBD_CreateConfigurationRequestEx(ext->Configuration, ext->Interfaces);
    if (!ext->SelectUrb) return STATUS_INSUFFICIENT_RESOURCES;
    for (int i = 0; i < found; ++i)
        for (ULONG p = 0; p < ext->Interfaces[i].Interface->NumberOfPipes; ++p)
            ext->Interfaces[i].Interface->Pipes[p].MaximumTransferSize = 64 * 1024;
    return SubmitUrbSync(device, ext->SelectUrb);
}

ASYNC_URB* SubmitUrbAsync(PDEVICE_OBJECT device, PURB urb, ULONG resubmit) {
    auto* a = static_cast<ASYNC_URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ASYNC_URB), kTag));
    std::memset(a, 0, sizeof *a);
    KeInitializeEvent(&a->Done, NotificationEvent, FALSE);
    a->Urb = urb;
    a->Resubmit = resubmit;
    a->Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    a->Target = Ext(device)->Lower;
    a->Irp = IoAllocateIrp(a->Target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(a->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(a->Irp, AsyncDone, a, TRUE, TRUE, TRUE);
    IoCallDriver(a->Target, a->Irp);
    return a;
}

void FreeAsync(ASYNC_URB* a) {
    IoFreeIrp(a->Irp);
    ExFreePool(a);
}

PURB BuildTransfer(USBD_PIPE_HANDLE pipe, PVOID buffer, PMDL mdl, ULONG length, ULONG flags) {
    PURB urb = AllocateUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer, mdl, length, flags, nullptr);
    return urb;
}

PURB BuildPipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    PURB urb = AllocateUrb(sizeof(_URB_PIPE_REQUEST));
    urb->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb->UrbHeader.Function = function;
    urb->UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

PURB BuildVendor(USHORT function, ULONG flags, UCHAR request, USHORT value, PVOID buffer, ULONG length) {
    PURB urb = AllocateUrb(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request, value, 0, buffer,
                          nullptr, length, nullptr);
    return urb;
}

NTSTATUS NTAPI PowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* a = static_cast<ASYNC_URB*>(context);
    a->Status = irp->IoStatus.Status;
    a->Finished = TRUE;
    KeSetEvent(&a->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static ASYNC_URB* SendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    auto* a = static_cast<ASYNC_URB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ASYNC_URB), kTag));
    std::memset(a, 0, sizeof *a);
    KeInitializeEvent(&a->Done, NotificationEvent, FALSE);
    a->Target = Ext(device)->Lower;
    a->Irp = IoAllocateIrp(a->Target->StackSize, FALSE);
    a->Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(a->Irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
    IoSetCompletionRoutine(a->Irp, PowerDone, a, TRUE, TRUE, TRUE);
    PoCallDriver(a->Target, a->Irp);
    return a;
}

NTSTATUS SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    ASYNC_URB* a = SendPower(device, minor, type, state);
    KeWaitForSingleObject(&a->Done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = a->Status;
    FreeAsync(a);
    return status;
}

ASYNC_URB* SendWaitWake(PDEVICE_OBJECT device) {
    POWER_STATE none;
    none.SystemState = PowerSystemSleeping3;
    return SendPower(device, IRP_MN_WAIT_WAKE, SystemPowerState, none);
}

NTSTATUS SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor, PVOID argument) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Ext(device)->Lower, nullptr, 0, nullptr, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = minor;
    next->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(Ext(device)->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* caps) {
    std::memset(caps, 0, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    return SendPnpRequest(device, IRP_MN_QUERY_CAPABILITIES, caps);
}

}  // namespace tarvel::usb::test
