// A small function driver for the bus tests, written against the driver kit as a USB client driver is:
// it attaches above a port's physical device object, configures the device the way the pipe driver
// does (device descriptor, configuration descriptor in a 521-byte buffer and again if longer, every
// interface into one select-configuration request), and sends URBs and port requests, waiting for them
// or not. Tests call its routines from the "app" thread at PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

namespace tarvel::usb::test {

struct TEST_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR Configuration;
    ULONG DescriptorRequests;  // configuration descriptor requests made by ConfigureTestDevice
    PURB SelectUrb;            // kept: its interface information holds the pipe handles
    USBD_INTERFACE_LIST_ENTRY Interfaces[8];
};

// One URB sent without waiting; its completion routine records the outcome and signals Done.
struct ASYNC_URB {
    PIRP Irp;
    PURB Urb;
    KEVENT Done;
    NTSTATUS Status;
    BOOLEAN Finished;
    ULONG Resubmit;  // completions still to resubmit the same URB (a saturating loop), 0 to stop
    ULONG Length;    // the transfer length each resubmission asks for again
    ULONG Completions;
    ULONG64 Bytes;   // TransferBufferLength summed over completions
    PDEVICE_OBJECT Target;
};

PDEVICE_OBJECT AddTestDevice(PDEVICE_OBJECT physicalDevice);
void RemoveTestDevice(PDEVICE_OBJECT device);
TEST_EXTENSION* Ext(PDEVICE_OBJECT device);

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT device, PURB urb);
NTSTATUS SendPortRequest(PDEVICE_OBJECT device, ULONG code, PVOID argument);
NTSTATUS ConfigureTestDevice(PDEVICE_OBJECT device);
void DeconfigureTestDevice(PDEVICE_OBJECT device);

ASYNC_URB* SubmitUrbAsync(PDEVICE_OBJECT device, PURB urb, ULONG resubmit = 0);
void FreeAsync(ASYNC_URB* async);  // once Finished

// URBs from pool, freed with ExFreePool.
PURB BuildTransfer(USBD_PIPE_HANDLE pipe, PVOID buffer, PMDL mdl, ULONG length, ULONG flags);
PURB BuildPipeRequest(USHORT function, USBD_PIPE_HANDLE pipe);
PURB BuildVendor(USHORT function, ULONG flags, UCHAR request, USHORT value, PVOID buffer, ULONG length);
PURB BuildGetDescriptor(UCHAR type, PVOID buffer, ULONG length);

NTSTATUS SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
// Wait-wake sent and left pending; the ASYNC_URB's Status and Finished record its completion.
ASYNC_URB* SendWaitWake(PDEVICE_OBJECT device);
// A PnP request passed down to the bus as the function driver passes one on; `argument` is the first
// parameter of the request (the capabilities of IRP_MN_QUERY_CAPABILITIES), nullptr for most.
NTSTATUS SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor, PVOID argument = nullptr);
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* caps);

}  // namespace tarvel::usb::test
