// Configuration at start: descriptors, interface selection, the select-configuration request and
// the pipe table with each pipe's segment size.
#include "tarvelpipe.h"

#define DEVICE_DESCRIPTOR_BYTES 18
// First attempt at the configuration descriptor; longer ones are asked for again in full.
#define CONFIG_DESCRIPTOR_FIRST_BYTES 521
#define SEGMENT_VALUE_NAME_CHARS 32

static VOID FreeConfigInfo(PCONFIG_INFO Config) {
    if (Config->DeviceDescriptor != NULL) {
        PipeFree(Config->DeviceDescriptor);
    }
    if (Config->ConfigurationDescriptor != NULL) {
        PipeFree(Config->ConfigurationDescriptor);
    }
    if (Config->InterfaceInfo != NULL) {
        PipeFree(Config->InterfaceInfo);
    }
    if (Config->PipeTable != NULL) {
        PipeFree(Config->PipeTable);
    }
    PipeFree(Config);
}

PAGEDCODE VOID DeconfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PCONFIG_INFO config = ext->ConfigInfo;
    if (config != NULL) {
        ext->ConfigInfo = NULL;
        FreeConfigInfo(config);
    }
}

static VOID BuildDescriptorRequest(PURB Urb, UCHAR Type, PVOID Buffer, ULONG Length) {
    RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    Urb->UrbHeader.Length = (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    Urb->UrbControlDescriptorRequest.DescriptorType = Type;
    Urb->UrbControlDescriptorRequest.Index = 0;
    Urb->UrbControlDescriptorRequest.LanguageId = 0;
    Urb->UrbControlDescriptorRequest.TransferBuffer = Buffer;
    Urb->UrbControlDescriptorRequest.TransferBufferMDL = NULL;
    Urb->UrbControlDescriptorRequest.TransferBufferLength = Length;
    Urb->UrbControlDescriptorRequest.UrbLink = NULL;
}

// Fetches the whole configuration descriptor: one request when it fits the first buffer, a
// second one of wTotalLength bytes otherwise. The result is checked before it is kept.
static PAGEDCODE NTSTATUS FetchConfigurationDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb,
                                                       PUSB_CONFIGURATION_DESCRIPTOR* Result) {
    PAGED_CODE();
    ULONG size = CONFIG_DESCRIPTOR_FIRST_BYTES;
    for (int attempt = 0;; attempt++) {
        PUSB_CONFIGURATION_DESCRIPTOR buffer = (PUSB_CONFIGURATION_DESCRIPTOR)PipeAllocateZeroed(NonPagedPool, size);
        if (buffer == NULL) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        BuildDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, size);
        NTSTATUS status = SubmitUrbSync(DeviceObject, Urb);
        if (!NT_SUCCESS(status)) {
            PipeFree(buffer);
            return status;
        }
        ULONG returned = Urb->UrbControlDescriptorRequest.TransferBufferLength;
        if (returned > size) {
            returned = size;
        }
        // The buffer is zero-filled and at least 9 bytes long, so wTotalLength can be read even
        // when the device sent less; the check below refuses such an answer.
        if (attempt == 0 && returned != 0 && buffer->wTotalLength > size) {
            size = buffer->wTotalLength;
            PipeFree(buffer);
            continue;
        }
        status = CheckConfigurationDescriptor(buffer, returned);
        if (!NT_SUCCESS(status)) {
            PipeFree(buffer);
            return status;
        }
        *Result = buffer;
        return STATUS_SUCCESS;
    }
}

PAGEDCODE NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);

    // A start that failed earlier may have left a partial configuration behind.
    DeconfigureDevice(DeviceObject);

    PURB urb = (PURB)PipeAllocate(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    PUSB_DEVICE_DESCRIPTOR deviceDescriptor = (PUSB_DEVICE_DESCRIPTOR)PipeAllocateZeroed(NonPagedPool, DEVICE_DESCRIPTOR_BYTES);
    PCONFIG_INFO config = (PCONFIG_INFO)PipeAllocateZeroed(NonPagedPool, sizeof(CONFIG_INFO));
    if (urb == NULL || deviceDescriptor == NULL || config == NULL) {
        if (urb != NULL) PipeFree(urb);
        if (deviceDescriptor != NULL) PipeFree(deviceDescriptor);
        if (config != NULL) PipeFree(config);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    BuildDescriptorRequest(urb, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor, DEVICE_DESCRIPTOR_BYTES);
    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (!NT_SUCCESS(status)) {
        PipeFree(urb);
        PipeFree(deviceDescriptor);
        PipeFree(config);
        return status;
    }

    ext->ConfigInfo = config;
    config->DeviceDescriptor = deviceDescriptor;

    PUSB_CONFIGURATION_DESCRIPTOR configDescriptor = NULL;
    status = FetchConfigurationDescriptor(DeviceObject, urb, &configDescriptor);
    PipeFree(urb);
    if (!NT_SUCCESS(status)) {
        DeconfigureDevice(DeviceObject);
        return status;
    }
    config->ConfigurationDescriptor = configDescriptor;
    ext->RemoteWakeupCapable = (configDescriptor->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) ? 1 : 0;

    return SelectConfiguration(DeviceObject, config);
}

// "EP<n>_SegmentSize" with the endpoint number in decimal; IN and OUT of one number share it.
static VOID FormatSegmentValueName(PWCHAR Name, ULONG EndpointNumber) {
    static const WCHAR suffix[] = L"_SegmentSize";
    ULONG n = 0;
    Name[n++] = L'E';
    Name[n++] = L'P';
    WCHAR digits[4];
    ULONG count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + EndpointNumber % 10);
        EndpointNumber /= 10;
    } while (EndpointNumber != 0 && count < 4);
    while (count > 0) {
        Name[n++] = digits[--count];
    }
    for (ULONG i = 0; suffix[i] != 0; i++) {
        Name[n++] = suffix[i];
    }
    Name[n] = 0;
}

// Whole packets, at least one, never more than the pipe's MaximumTransferSize. A device answers an
// IN token with a whole packet and takes a short OUT packet for the end of a transfer, so every
// segment but a transfer's last must end on a packet boundary: the value is rounded up to packets
// (0 is one packet) and a MaximumTransferSize below that is rounded down to packets. Computed in 64
// bits so that a large registry value cannot wrap around to a segment of 0 bytes. A pipe that reports
// packets of 0 bytes, or one whose MaximumTransferSize holds no whole packet, gets segments of
// MaximumTransferSize: the bus takes nothing longer.
ULONG ComputeSegmentSize(PUSBD_PIPE_INFORMATION PipeInfo, ULONG RegistryValue) {
    ULONGLONG packet = PipeInfo->MaximumPacketSize;
    ULONGLONG limit = PipeInfo->MaximumTransferSize;
    if (packet == 0 || limit < packet) {
        return (ULONG)limit;
    }
    ULONGLONG rounded = RegistryValue == 0 ? packet : packet * ((RegistryValue + packet - 1) / packet);
    if (rounded > limit) {
        rounded = limit / packet * packet;
    }
    return (ULONG)rounded;
}

// wMaxPacketSize (its size bits) of the endpoint descriptor at position Index after the interface
// descriptor, which is the order of the interface's pipes; 0 when there is none. The configuration
// descriptor was checked at start, so every descriptor in it lies inside wTotalLength.
static ULONG EndpointPacketSize(PUSB_CONFIGURATION_DESCRIPTOR Configuration, PUSB_INTERFACE_DESCRIPTOR Interface,
                                ULONG Index) {
    PUCHAR end = (PUCHAR)Configuration + Configuration->wTotalLength;
    PUCHAR at = (PUCHAR)Interface + Interface->bLength;
    ULONG seen = 0;
    while (at + 2 <= end && at[0] >= 2 && at + at[0] <= end && at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
        if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            if (seen++ == Index) {
                return ((PUSB_ENDPOINT_DESCRIPTOR)at)->wMaxPacketSize & 0x7FF;
            }
        }
        at += at[0];
    }
    return 0;
}

static BOOLEAN IsBulkOrInterruptType(USBD_PIPE_TYPE Type) {
    return Type == UsbdPipeTypeBulk || Type == UsbdPipeTypeInterrupt;
}

static PAGEDCODE VOID FillPipeTable(PDEVICE_OBJECT DeviceObject, PCONFIG_INFO Config) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PUSBD_INTERFACE_INFORMATION iface = Config->InterfaceInfo;
    for (ULONG i = 0; i < iface->NumberOfPipes; i++) {
        PPIPE_ENTRY entry = &Config->PipeTable[i];
        PUSBD_PIPE_INFORMATION info = &iface->Pipes[i];
        entry->PipeInfo = info;
        entry->SegmentSize = 0;
        if (!IsBulkOrInterruptType(info->PipeType)) {
            continue;
        }
        WCHAR name[SEGMENT_VALUE_NAME_CHARS];
        FormatSegmentValueName(name, info->EndpointAddress & 0x7F);
        ULONG value = (info->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? info->MaximumPacketSize
                                                                            : info->MaximumTransferSize;
        ReadDeviceValue(ext->PhysicalDevice, name, &value);
        entry->SegmentSize = ComputeSegmentSize(info, value);
    }
}

PAGEDCODE NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PCONFIG_INFO Config) {
    PAGED_CODE();
    PPIPE_EXTENSION ext = PipeExt(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR descriptor = Config->ConfigurationDescriptor;

    ULONG alternate = PIPE_SELECT_ANY, cls = PIPE_SELECT_ANY, subclass = PIPE_SELECT_ANY, protocol = PIPE_SELECT_ANY;
    ReadDeviceValue(ext->PhysicalDevice, L"TargetAlternateSetting", &alternate);
    ReadDeviceValue(ext->PhysicalDevice, L"TargetInterfaceClass", &cls);
    ReadDeviceValue(ext->PhysicalDevice, L"TargetInterfaceSubClass", &subclass);
    ReadDeviceValue(ext->PhysicalDevice, L"TargetInterfaceProtocol", &protocol);

    ULONG wanted = descriptor->bNumInterfaces;
    if (wanted == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    PUSBD_INTERFACE_LIST_ENTRY list =
        (PUSBD_INTERFACE_LIST_ENTRY)PipeAllocateZeroed(NonPagedPool, (wanted + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY));
    if (list == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG found = 0;
    for (LONG number = 0; number < 256 && found < wanted; number++) {
        PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(
            descriptor, descriptor, number, (LONG)alternate, (LONG)cls, (LONG)subclass, (LONG)protocol);
        if (iface != NULL) {
            list[found++].InterfaceDescriptor = iface;
        }
    }
    if (found == 0) {
        PipeFree(list);
        return STATUS_UNSUCCESSFUL;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
    if (urb == NULL) {
        PipeFree(list);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUSBD_INTERFACE_INFORMATION first = list[0].Interface;
    for (ULONG i = 0; i < first->NumberOfPipes; i++) {
        // A transfer size below one packet would leave no room for the whole packet a device sends.
        ULONG packet = EndpointPacketSize(descriptor, list[0].InterfaceDescriptor, i);
        first->Pipes[i].MaximumTransferSize = ext->MaximumTransferSize > packet ? ext->MaximumTransferSize : packet;
        first->Pipes[i].PipeFlags = 0;
    }

    NTSTATUS status = SubmitUrbSync(DeviceObject, urb);
    if (NT_SUCCESS(status)) {
        Config->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        ULONG length = first->Length;
        ULONG needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + first->NumberOfPipes * sizeof(USBD_PIPE_INFORMATION);
        if (length < needed) {
            // The pipe array must lie inside the copy that the pipe table points into.
            status = STATUS_DEVICE_DATA_ERROR;
        } else {
            Config->InterfaceInfo = (PUSBD_INTERFACE_INFORMATION)PipeAllocate(NonPagedPool, length);
            if (Config->InterfaceInfo == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                RtlCopyMemory(Config->InterfaceInfo, first, length);
                ULONG pipes = first->NumberOfPipes;
                Config->PipeTable =
                    (PPIPE_ENTRY)PipeAllocateZeroed(NonPagedPool, (pipes != 0 ? pipes : 1) * sizeof(PIPE_ENTRY));
                if (Config->PipeTable == NULL) {
                    PipeFree(Config->InterfaceInfo);
                    Config->InterfaceInfo = NULL;
                    status = STATUS_INSUFFICIENT_RESOURCES;
                } else {
                    FillPipeTable(DeviceObject, Config);
                    ext->ConfigGeneration++;
                }
            }
        }
    }
    ExFreePool(urb);
    PipeFree(list);
    return status;
}
