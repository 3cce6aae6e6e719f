// The configuration descriptor comes from the device and is not trusted: before anything walks
// it, its lengths and counts are checked against the bytes the bus actually returned.
#include "tarvelpipe.h"

static BOOLEAN MarkInterfaceNumber(UCHAR* Seen, UCHAR Number) {
    UCHAR bit = (UCHAR)(1u << (Number & 7));
    BOOLEAN first = (Seen[Number >> 3] & bit) == 0;
    Seen[Number >> 3] |= bit;
    return first;
}

// STATUS_SUCCESS when the descriptor and every descriptor inside wTotalLength are whole, when
// wTotalLength lies within what the device returned, when every interface is followed by exactly
// bNumEndpoints endpoint descriptors, and when bNumInterfaces counts the interface numbers present.
NTSTATUS CheckConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG BytesReturned) {
    if (BytesReturned < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Descriptor->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    ULONG total = Descriptor->wTotalLength;
    if (total < Descriptor->bLength || total > BytesReturned) {
        return STATUS_DEVICE_DATA_ERROR;
    }

    const UCHAR* bytes = (const UCHAR*)Descriptor;
    UCHAR seenNumbers[32];
    RtlZeroMemory(seenNumbers, sizeof(seenNumbers));
    ULONG interfaceNumbers = 0;
    LONG endpointsExpected = -1; // no interface descriptor yet
    LONG endpointsSeen = 0;

    for (ULONG offset = Descriptor->bLength; offset < total;) {
        if (total - offset < 2) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        UCHAR length = bytes[offset];
        UCHAR type = bytes[offset + 1];
        if (length < 2 || length > total - offset) {
            return STATUS_DEVICE_DATA_ERROR;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_INTERFACE_DESCRIPTOR) ||
                (endpointsExpected >= 0 && endpointsSeen != endpointsExpected)) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            const USB_INTERFACE_DESCRIPTOR* iface = (const USB_INTERFACE_DESCRIPTOR*)(bytes + offset);
            endpointsExpected = iface->bNumEndpoints;
            endpointsSeen = 0;
            if (MarkInterfaceNumber(seenNumbers, iface->bInterfaceNumber)) {
                interfaceNumbers++;
            }
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (length < sizeof(USB_ENDPOINT_DESCRIPTOR) || endpointsExpected < 0) {
                return STATUS_DEVICE_DATA_ERROR;
            }
            endpointsSeen++;
        }
        offset += length;
    }
    if (endpointsExpected >= 0 && endpointsSeen != endpointsExpected) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    if (interfaceNumbers != Descriptor->bNumInterfaces) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    return STATUS_SUCCESS;
}
