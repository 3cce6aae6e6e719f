// The USBD library routines that client drivers link (USBD.SYS on the platform). Descriptors come from
// the device and are not trusted: the configuration's wTotalLength bounds every walk (the routines are
// given no other size, as on the platform, so the caller's buffer must hold wTotalLength bytes), and a
// descriptor whose bLength is 0 or runs past that end stops the search with "not found". Nothing here
// reads outside [descriptor, descriptor + wTotalLength).
#include <ntddk.h>
#include <usbdlib.h>

#include <cstring>
#include <vector>

#include "usb/descriptors/descriptor_parse.h"

#define USBD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr ULONG kUsbdTag = 'DBSU';  // "USBD" in pool listings

using tarvel::usb::Bytes;

// The walkable bytes of a configuration descriptor as its own header describes them, or none.
std::optional<Bytes> Extent(PUSB_CONFIGURATION_DESCRIPTOR config) {
    if (!config) return std::nullopt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(config);
    if (bytes[0] < tarvel::usb::kConfigurationDescriptorLength || bytes[1] != tarvel::usb::kConfigurationDescriptorType)
        return std::nullopt;
    const std::size_t total = tarvel::usb::ReadLe16(bytes + 2);
    if (total < tarvel::usb::kConfigurationDescriptorLength) return std::nullopt;
    return Bytes(bytes, total);
}

// Offset of p inside the extent (one past the end allowed), or none.
std::optional<std::size_t> OffsetOf(Bytes extent, const void* p) {
    const auto* at = static_cast<const std::uint8_t*>(p);
    if (at < extent.data() || at > extent.data() + extent.size()) return std::nullopt;
    return static_cast<std::size_t>(at - extent.data());
}

// An interface descriptor of the configuration given by pointer: inside it, 9 bytes or more, type 4.
bool IsInterfaceOf(Bytes extent, const void* p) {
    const auto offset = OffsetOf(extent, p);
    if (!offset || *offset + tarvel::usb::kInterfaceDescriptorLength > extent.size()) return false;
    const std::uint8_t* d = extent.data() + *offset;
    return d[0] >= tarvel::usb::kInterfaceDescriptorLength && *offset + d[0] <= extent.size() &&
           d[1] == tarvel::usb::kInterfaceDescriptorType;
}

}  // namespace

USBD_EXPORT VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
    if (!VersionInformation) return;
    VersionInformation->USBDI_Version = USBDI_VERSION;
    VersionInformation->Supported_USB_Version = 0x0200;
}

USBD_EXPORT PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                         PVOID StartPosition, LONG DescriptorType) {
    if (!DescriptorBuffer || !StartPosition) return nullptr;
    const Bytes bytes(static_cast<const std::uint8_t*>(DescriptorBuffer), TotalLength);
    const auto start = OffsetOf(bytes, StartPosition);
    if (!start) return nullptr;
    tarvel::usb::DescriptorWalker walker(bytes, *start);
    while (auto d = walker.Next())
        if (d->Type() == DescriptorType)
            return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<std::uint8_t*>(d->bytes.data()));
    return nullptr;
}

USBD_EXPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    const auto extent = Extent(ConfigurationDescriptor);
    if (!extent || !StartPosition) return nullptr;
    const auto start = OffsetOf(*extent, StartPosition);
    if (!start) return nullptr;
    const auto found = tarvel::usb::FindInterface(*extent, *start, InterfaceNumber, AlternateSetting, InterfaceClass,
                                                  InterfaceSubClass, InterfaceProtocol);
    if (!found) return nullptr;
    return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<std::uint8_t*>(extent->data() + found->offset));
}

USBD_EXPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                        UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                               AlternateSetting, -1, -1, -1);
}

USBD_EXPORT PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                   PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    const auto extent = Extent(ConfigurationDescriptor);
    if (!extent || !InterfaceList) return nullptr;
    // Every interface gets room for the pipes its descriptor announces.
    std::size_t size = sizeof(_URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    std::size_t count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e, ++count) {
        if (!IsInterfaceOf(*extent, e->InterfaceDescriptor)) return nullptr;
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        if (size > 0xFFFF) return nullptr;  // the URB's length is 16 bits
    }
    if (count == 0) return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUsbdTag));
    if (!urb) return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor; ++e) {
        const PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[p].PipeFlags = 0;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    return urb;
}

USBD_EXPORT PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    if (Siz) *Siz = 0;
    const auto extent = Extent(ConfigurationDescriptor);
    if (!extent) return nullptr;
    // Every interface in its first alternate setting.
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (std::size_t start = 0;;) {
        const auto found = tarvel::usb::FindInterface(*extent, start, -1, 0, -1, -1, -1);
        if (!found) break;
        list.push_back({reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<std::uint8_t*>(extent->data() + found->offset)), nullptr});
        start = found->offset + tarvel::usb::kInterfaceDescriptorLength;
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.data());
    if (urb && Siz) *Siz = urb->UrbHeader.Length;
    return urb;
}

USBD_EXPORT ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd) {
    if (!InterfaceDescriptor || !BufferEnd) return 0;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(InterfaceDescriptor);
    if (BufferEnd <= begin) return 0;
    const Bytes bytes(begin, static_cast<std::size_t>(BufferEnd - begin));
    tarvel::usb::DescriptorWalker walker(bytes, 0);
    auto self = walker.Next();
    if (!self || self->Type() != tarvel::usb::kInterfaceDescriptorType) return 0;
    std::size_t length = self->bytes.size();
    while (auto d = walker.Next()) {
        if (d->Type() == tarvel::usb::kInterfaceDescriptorType) break;
        length += d->bytes.size();
    }
    return static_cast<ULONG>(length);
}

USBD_EXPORT USBD_STATUS USBD_ValidateConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigDesc, ULONG BufferLength,
                                                             USHORT Level, PUCHAR* Offset, ULONG Tag) {
    (void)Level;
    (void)Tag;
    if (Offset) *Offset = nullptr;
    if (!ConfigDesc) return USBD_STATUS_INVALID_PARAMETER;
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(ConfigDesc), BufferLength);
    const auto defect = tarvel::usb::ConfigurationDefect(bytes);
    if (!defect) return USBD_STATUS_SUCCESS;
    if (Offset) *Offset = reinterpret_cast<PUCHAR>(ConfigDesc) + defect->offset;
    switch (defect->kind) {
    case tarvel::usb::DefectKind::ConfigurationLength: return USBD_STATUS_BAD_CONFIG_DESC_LENGTH;
    case tarvel::usb::DefectKind::DescriptorLength: return USBD_STATUS_BAD_DESCRIPTOR_BLEN;
    case tarvel::usb::DefectKind::InterfaceDescriptor: return USBD_STATUS_BAD_INTERFACE_DESCRIPTOR;
    case tarvel::usb::DefectKind::EndpointDescriptor: return USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR;
    case tarvel::usb::DefectKind::NumberOfEndpoints: return USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS;
    case tarvel::usb::DefectKind::NumberOfInterfaces: return USBD_STATUS_BAD_NUMBER_OF_INTERFACES;
    }
    return USBD_STATUS_BAD_DESCRIPTOR;
}
