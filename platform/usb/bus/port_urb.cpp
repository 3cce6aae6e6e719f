// URBs at the physical device object: configuration, pipes, transfers through the host controller, and
// the port requests of IRP_MJ_INTERNAL_DEVICE_CONTROL.
#include <algorithm>
#include <cstring>

#include "tarvel/kernel.h"
#include <usbdlib.h>

#include "usb/bus/port.h"
#include "usb/bus/usb_bus.h"
#include "usb/descriptors/descriptor_parse.h"

#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0xC000028FL)
#endif

namespace tarvel::usb {
namespace {

// Smallest Length a URB of each function must have before any field beyond the header is read; 0 for
// a function the bus does not know.
std::size_t MinimumLength(USHORT function) {
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(_URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER: return offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    default: return 0;
    }
}

// The data buffer of a transfer URB: its MDL mapped, or its buffer; none if the length needs one and
// there is none, or the MDL is shorter than the length.
bool ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length, std::uint8_t** out) {
    *out = nullptr;
    if (length == 0) return true;
    if (mdl) {
        if (MmGetMdlByteCount(mdl) < length) return false;
        *out = static_cast<std::uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    } else {
        *out = static_cast<std::uint8_t*>(buffer);
    }
    return *out != nullptr;
}

VOID CancelTransferRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortOf(device)->CancelTransfer(irp);
}

Transfer* TransferOf(PIRP irp) { return static_cast<Transfer*>(irp->Tail.Overlay.DriverContext[0]); }

}  // namespace

Port::Port(DeviceModel& model, PDEVICE_OBJECT pdo) : model_(model), pdo_(pdo), hc_(model, KernelClock()) {
    KeInitializeEvent(&cancelDone_, SynchronizationEvent, FALSE);
    model_.BusReset();
    model_.AttachBus(this);
}

Port::~Port() {
    if (model_.Plugged() && connected_) model_.AttachBus(nullptr);
}

// --- Internal device control ---

NTSTATUS Port::InternalDeviceControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (!word) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
        *word = (connected_ ? USBD_PORT_CONNECTED : 0) | (connected_ && portEnabled_ ? USBD_PORT_ENABLED : 0);
        return CompleteRequest(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
        if (!connected_) return CompleteRequest(irp, STATUS_DEVICE_NOT_CONNECTED);
        portEnabled_ = true;
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return CompleteRequest(irp, ResetPort());
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        if (!connected_) return CompleteRequest(irp, STATUS_DEVICE_NOT_CONNECTED);
        CyclePort();
        return CompleteRequest(irp, STATUS_SUCCESS);
    default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

std::int32_t Port::Refusal() const {
    if (!connected_) return USBD_STATUS_DEVICE_GONE;
    if (!portEnabled_ || powerState_ != PowerDeviceD0) return USBD_STATUS_DEV_NOT_RESPONDING;
    return USBD_STATUS_SUCCESS;
}

NTSTATUS Port::FinishUrbAtOnce(PIRP irp, PURB urb, std::int32_t usbdStatus) {
    urb->UrbHeader.Status = usbdStatus;
    NTSTATUS status = NtStatusOf(usbdStatus);
    if (usbdStatus == static_cast<std::int32_t>(USBD_STATUS_DEV_NOT_RESPONDING) && connected_ && powerState_ != PowerDeviceD0)
        status = STATUS_DEVICE_POWERED_OFF;
    return CompleteRequest(irp, status);
}

NTSTATUS Port::SubmitUrb(PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (!urb) return CompleteRequest(irp, STATUS_INVALID_PARAMETER);
    const USHORT function = urb->UrbHeader.Function;
    const std::size_t minimum = MinimumLength(function);
    if (minimum == 0) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    if (urb->UrbHeader.Length < minimum) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (!connected_) return FinishUrbAtOnce(irp, urb, USBD_STATUS_DEVICE_GONE);
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        return ResetPipe(irp, urb, true, true);
    case URB_FUNCTION_SYNC_RESET_PIPE:
        return ResetPipe(irp, urb, false, true);
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return ResetPipe(irp, urb, true, false);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = hc_.CurrentFrameNumber();
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkOrInterrupt(irp, urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
        return Isochronous(irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& r = urb->UrbControlDescriptorRequest;
        const SetupPacket setup{0x80, kStdGetDescriptor, static_cast<std::uint16_t>((r.DescriptorType << 8) | r.Index),
                                r.LanguageId, 0};
        return ControlTransfer(irp, urb, setup, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                               r.TransferBufferLength, r.TransferBuffer, r.TransferBufferMDL);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& r = urb->UrbControlVendorClassRequest;
        const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                            function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        std::uint8_t recipient = 0;
        if (function == URB_FUNCTION_VENDOR_INTERFACE || function == URB_FUNCTION_CLASS_INTERFACE) recipient = 1;
        if (function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_CLASS_ENDPOINT) recipient = 2;
        if (function == URB_FUNCTION_VENDOR_OTHER || function == URB_FUNCTION_CLASS_OTHER) recipient = 3;
        const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        const auto type = static_cast<std::uint8_t>(((in ? 0x80 : 0) | (vendor ? 0x40 : 0x20) | recipient) |
                                                    r.RequestTypeReservedBits);
        const SetupPacket setup{type, r.Request, r.Value, r.Index, 0};
        return ControlTransfer(irp, urb, setup, r.TransferFlags, r.TransferBufferLength, r.TransferBuffer,
                               r.TransferBufferMDL);
    }
    default:
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}


Port::PipeRecord* Port::Lookup(USBD_PIPE_HANDLE handle) {
    auto it = pipes_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == pipes_.end() ? nullptr : &it->second;
}

// --- Configuration ---

NTSTATUS Port::SelectConfiguration(PIRP irp, PURB urb) {
    auto& select = urb->UrbSelectConfiguration;
    if (!select.ConfigurationDescriptor) {
        const NTSTATUS s = Unconfigure();
        urb->UrbHeader.Status = NT_SUCCESS(s) ? USBD_STATUS_SUCCESS : USBD_STATUS_SET_CONFIG_FAILED;
        return CompleteRequest(irp, s);
    }
    if (const auto refusal = Refusal(); refusal != USBD_STATUS_SUCCESS) return FinishUrbAtOnce(irp, urb, refusal);
    // The client's copy of the configuration: wTotalLength bytes, checked whole before any use.
    const auto* head = reinterpret_cast<const std::uint8_t*>(select.ConfigurationDescriptor);
    const Bytes config(head, ReadLe16(head + 2));
    if (config.size() < kConfigurationDescriptorLength || ConfigurationDefect(config))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);

    struct Chosen {
        PUSBD_INTERFACE_INFORMATION info;
        InterfaceFields fields;
        std::vector<EndpointFields> endpoints;
    };
    std::vector<Chosen> chosen;
    std::set<std::uint8_t> addresses;
    auto* at = reinterpret_cast<PUCHAR>(&select.Interface);
    const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    while (at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || at + info->Length > end)
            return FinishUrbAtOnce(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
        const auto found = FindInterface(config, 0, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
        if (!found) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        auto endpoints = InterfaceEndpoints(config, found->offset);
        if (!endpoints) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        if (info->Length < GET_USBD_INTERFACE_SIZE(endpoints->size())) return FinishUrbAtOnce(irp, urb, USBD_STATUS_BUFFER_TOO_SMALL);
        for (const auto& e : *endpoints)
            if ((e.address & 0x0F) == 0 || !addresses.insert(e.address).second)
                return FinishUrbAtOnce(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
        chosen.push_back({info, *found, std::move(*endpoints)});
        at += info->Length;
    }
    if (chosen.empty()) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);

    Unconfigure();  // the old pipes end here (their transfers with USBD_STATUS_CANCELED)
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    const std::uint8_t value = head[5];
    bool ok = WithModel([&] {
        return model_.Control(SetupPacket{0x00, kStdSetConfiguration, value, 0, 0}, {}).handshake == Handshake::Ack;
    });
    for (const Chosen& c : chosen) {
        if (!ok || c.fields.alternate == 0) continue;
        ok = WithModel([&] {
            const SetupPacket setInterface{0x01, kStdSetInterface, c.fields.alternate, c.fields.number, 0};
            return model_.Control(setInterface, {}).handshake == Handshake::Ack;
        });
    }
    if (!ok) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_SET_CONFIG_FAILED);
    }
    configurationValue_ = value;
    alternates_.clear();
    configurationHandle_ = nextHandle_++;
    for (const Chosen& c : chosen) {
        alternates_.emplace_back(c.fields.number, c.fields.alternate);
        PUSBD_INTERFACE_INFORMATION info = c.info;
        info->Class = c.fields.interfaceClass;
        info->SubClass = c.fields.subClass;
        info->Protocol = c.fields.protocol;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(nextHandle_++);
        info->NumberOfPipes = static_cast<ULONG>(c.endpoints.size());
        for (std::size_t i = 0; i < c.endpoints.size(); ++i) {
            const EndpointFields& e = c.endpoints[i];
            const EndpointSpec spec{e.address, static_cast<EndpointType>(e.attributes & 3),
                                    static_cast<std::uint16_t>(e.maxPacketSize & 0x7FF), e.interval};
            const std::uintptr_t handle = nextHandle_++;
            pipes_[handle] = PipeRecord{hc_.AddPipe(spec), info->Pipes[i].MaximumTransferSize};
            USBD_PIPE_INFORMATION& p = info->Pipes[i];
            p.MaximumPacketSize = spec.maxPacketSize;
            p.EndpointAddress = e.address;
            p.Interval = e.interval;
            p.PipeType = static_cast<USBD_PIPE_TYPE>(e.attributes & 3);
            p.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(handle);
        }
    }
    KeReleaseSpinLock(&Extension()->Lock, irql);
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle_);
    return FinishUrbAtOnce(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Port::Unconfigure() {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    std::vector<Transfer*> drained;
    for (auto& [handle, record] : pipes_) {
        auto some = Claim(hc_.Drain(record.pipe, USBD_STATUS_CANCELED));
        drained.insert(drained.end(), some.begin(), some.end());
    }
    pipes_.clear();
    hc_.RemovePipes();
    configurationHandle_ = 0;
    configurationValue_ = 0;
    alternates_.clear();
    bool ok = true;
    if (connected_)
        ok = WithModel([&] { return model_.Control(SetupPacket{0x00, kStdSetConfiguration, 0, 0, 0}, {}).handshake == Handshake::Ack; });
    KeReleaseSpinLock(&Extension()->Lock, irql);
    CompleteTransfers(drained);
    WaitForCancelRoutines();
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// --- Pipe requests ---

NTSTATUS Port::AbortPipe(PIRP irp, PURB urb) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PipeRecord* record = Lookup(urb->UrbPipeRequest.PipeHandle);
    if (!record) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    auto drained = Claim(hc_.Drain(record->pipe, USBD_STATUS_CANCELED));
    ArmTimerLocked();
    KeReleaseSpinLock(&Extension()->Lock, irql);
    CompleteTransfers(drained);
    WaitForCancelRoutines();  // every transfer of the pipe has completed before the abort does
    return FinishUrbAtOnce(irp, urb, USBD_STATUS_SUCCESS);
}

NTSTATUS Port::ResetPipe(PIRP irp, PURB urb, bool clearStall, bool resetHost) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PipeRecord* record = Lookup(urb->UrbPipeRequest.PipeHandle);
    if (!record) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    std::int32_t result = USBD_STATUS_SUCCESS;
    if (clearStall) {
        const SetupPacket clear{0x02, kStdClearFeature, kFeatureEndpointHalt, record->pipe->endpoint.address, 0};
        if (WithModel([&] { return model_.Control(clear, {}).handshake; }) != Handshake::Ack) result = USBD_STATUS_STALL_PID;
    }
    if (resetHost && result == USBD_STATUS_SUCCESS) hc_.ClearHalt(record->pipe);
    ArmTimerLocked();
    KeReleaseSpinLock(&Extension()->Lock, irql);
    return FinishUrbAtOnce(irp, urb, result);
}

// --- Transfers ---

NTSTATUS Port::BulkOrInterrupt(PIRP irp, PURB urb) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PipeRecord* record = Lookup(r.PipeHandle);
    HostController::Pipe* pipe = record ? record->pipe : nullptr;
    const ULONG limit = record ? record->maximumTransferSize : 0;
    KeReleaseSpinLock(&Extension()->Lock, irql);
    if (!pipe) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->endpoint.type != EndpointType::Bulk && pipe->endpoint.type != EndpointType::Interrupt)
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (r.TransferBufferLength > limit) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto t = std::make_unique<Transfer>();
    if (!ResolveBuffer(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &t->buffer))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    t->type = pipe->endpoint.type;
    t->endpoint = pipe->endpoint.address;
    t->in = IsIn(pipe->endpoint.address);  // the endpoint decides the direction
    t->length = r.TransferBufferLength;
    t->shortOk = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    return Queue(irp, urb, pipe, std::move(t));
}

NTSTATUS Port::Isochronous(PIRP irp, PURB urb) {
    auto& r = urb->UrbIsochronousTransfer;
    const std::size_t packets = r.NumberOfPackets;
    if (packets == 0 || packets > 1024 || urb->UrbHeader.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PipeRecord* record = Lookup(r.PipeHandle);
    HostController::Pipe* pipe = record ? record->pipe : nullptr;
    KeReleaseSpinLock(&Extension()->Lock, irql);
    if (!pipe) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->endpoint.type != EndpointType::Isochronous) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto t = std::make_unique<Transfer>();
    if (!ResolveBuffer(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &t->buffer))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    t->type = EndpointType::Isochronous;
    t->endpoint = pipe->endpoint.address;
    t->in = IsIn(pipe->endpoint.address);
    t->length = r.TransferBufferLength;
    t->isoAsap = (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) != 0;
    t->isoStartFrame = r.StartFrame;
    for (std::size_t i = 0; i < packets; ++i) {
        const ULONG offset = r.IsoPacket[i].Offset;
        if (offset > r.TransferBufferLength || (i && offset < r.IsoPacket[i - 1].Offset))
            return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        t->packets.push_back(IsoPacketResult{offset, 0, USBD_STATUS_SUCCESS});
    }
    return Queue(irp, urb, pipe, std::move(t));
}

NTSTATUS Port::ControlTransfer(PIRP irp, PURB urb, SetupPacket setup, ULONG flags, ULONG length, PVOID buffer, PMDL mdl) {
    if (length > 0xFFFF) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto t = std::make_unique<Transfer>();
    if (!ResolveBuffer(buffer, mdl, length, &t->buffer)) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    setup.length = static_cast<std::uint16_t>(length);
    t->type = EndpointType::Control;
    t->in = (flags & USBD_TRANSFER_DIRECTION_IN) != 0;
    t->length = length;
    t->shortOk = true;
    t->setup = setup;
    return Queue(irp, urb, hc_.DefaultPipe(), std::move(t));
}

NTSTATUS Port::Queue(PIRP irp, PURB urb, HostController::Pipe* pipe, std::unique_ptr<Transfer> t) {
    if (const auto refusal = Refusal(); refusal != USBD_STATUS_SUCCESS) return FinishUrbAtOnce(irp, urb, refusal);
    t->owner = irp;
    irp->Tail.Overlay.DriverContext[0] = t.get();
    irp->Tail.Overlay.DriverContext[1] = urb;
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    if (!hc_.Owns(pipe)) {  // the configuration changed under the caller
        KeReleaseSpinLock(&Extension()->Lock, irql);
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    const std::int32_t status = hc_.Submit(pipe, t.get());
    if (status != USBD_STATUS_PENDING) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        return FinishUrbAtOnce(irp, urb, status);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, CancelTransferRoutine);
    Transfer* raw = t.release();
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {  // cancelled before we could see it
        hc_.Remove(raw);
        raw->status = USBD_STATUS_CANCELED;
        KeReleaseSpinLock(&Extension()->Lock, irql);
        CompleteTransfer(raw);
        return STATUS_PENDING;
    }
    ArmTimerLocked();
    KeReleaseSpinLock(&Extension()->Lock, irql);
    return STATUS_PENDING;
}

std::vector<Transfer*> Port::Claim(const std::vector<Transfer*>& done) {
    std::vector<Transfer*> mine;
    for (Transfer* t : done) {
        if (IoSetCancelRoutine(static_cast<PIRP>(t->owner), nullptr) == nullptr) cancelOwned_.insert(t);
        else mine.push_back(t);
    }
    return mine;
}

void Port::CompleteTransfer(Transfer* t) {
    auto* irp = static_cast<PIRP>(t->owner);
    auto* urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[1]);
    irp->Tail.Overlay.DriverContext[0] = nullptr;
    irp->Tail.Overlay.DriverContext[1] = nullptr;
    urb->UrbHeader.Status = t->status;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = t->actual;
        break;
    case URB_FUNCTION_ISOCH_TRANSFER: {
        auto& r = urb->UrbIsochronousTransfer;
        r.TransferBufferLength = t->actual;
        r.ErrorCount = t->isoErrors;
        if (r.TransferFlags & USBD_START_ISO_TRANSFER_ASAP)
            r.StartFrame = static_cast<ULONG>(t->isoFirstFrame / (hc_.FrameDuration() == 1'250 ? 8 : 1));
        for (std::size_t i = 0; i < t->packets.size(); ++i) {
            r.IsoPacket[i].Length = t->in ? t->packets[i].length : 0;
            r.IsoPacket[i].Status = t->status == USBD_STATUS_CANCELED || t->status == USBD_STATUS_DEVICE_GONE
                                        ? t->status : t->packets[i].status;
        }
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        urb->UrbControlDescriptorRequest.TransferBufferLength = t->actual;
        break;
    default:
        urb->UrbControlVendorClassRequest.TransferBufferLength = t->actual;
        break;
    }
    NTSTATUS status = NtStatusOf(t->status);
    delete t;
    CompleteRequest(irp, status);
}

// Transfers taken off the host controller outside a DPC complete at DISPATCH_LEVEL all the same, as
// the platform's bus completes them.
void Port::CompleteTransfers(const std::vector<Transfer*>& done) {
    if (done.empty()) return;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    for (Transfer* t : done) CompleteTransfer(t);
    KeLowerIrql(irql);
}

void Port::CancelTransfer(PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    Transfer* t = TransferOf(irp);
    bool mine = false;
    if (t && hc_.Remove(t)) {
        t->status = USBD_STATUS_CANCELED;
        mine = true;
        ArmTimerLocked();
    } else if (t && cancelOwned_.erase(t)) {
        mine = true;  // finished as the request was being cancelled: it completes with what it did
    }
    KeReleaseSpinLock(&Extension()->Lock, irql);
    if (mine) {
        KIRQL raised;
        KeRaiseIrql(DISPATCH_LEVEL, &raised);
        CompleteTransfer(t);
        KeLowerIrql(raised);
    }
    if (cancelWaiters_) KeSetEvent(&cancelDone_, IO_NO_INCREMENT, FALSE);
}

void Port::WaitForCancelRoutines() {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&Extension()->Lock, &irql);
        const bool pending = !cancelOwned_.empty();
        if (pending) ++cancelWaiters_;
        KeReleaseSpinLock(&Extension()->Lock, irql);
        if (!pending) return;
        KeWaitForSingleObject(&cancelDone_, Executive, KernelMode, FALSE, nullptr);
        --cancelWaiters_;
    }
}

std::vector<Transfer*> Port::DrainAllLocked(std::int32_t status) { return Claim(hc_.DrainAll(status)); }

// --- Frames ---

void Port::ArmTimerLocked() {
    const auto due = WithModel([&] { return hc_.NextDue(); });
    if (!due) return;  // nothing to do: no idle frames
    if (timerArmed_ && timerDue_ <= *due) return;
    LARGE_INTEGER relative;
    relative.QuadPart = -std::max<VirtualTime>(*due - kernel::Now(), 0);
    timerArmed_ = true;
    timerDue_ = *due;
    KeSetTimer(&Extension()->FrameTimer, relative, &Extension()->FrameDpc);
}

void Port::StopTimer() {
    KeCancelTimer(&Extension()->FrameTimer);
    KeRemoveQueueDpc(&Extension()->FrameDpc);
    timerArmed_ = false;
}

void Port::RunFrameDpc() {
    KeAcquireSpinLockAtDpcLevel(&Extension()->Lock);
    timerArmed_ = false;
    ++framesRun;
    auto done = Claim(WithModel([&] { return hc_.RunFrame(); }));
    ArmTimerLocked();
    KeReleaseSpinLockFromDpcLevel(&Extension()->Lock);
    for (Transfer* t : done) CompleteTransfer(t);
}

void Port::DeviceActivity() {
    if (modelDepth_ > 0) {  // the model spoke while the bus was calling it, under the lock already
        hc_.Activity();
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    hc_.Activity();
    ArmTimerLocked();
    KeReleaseSpinLock(&Extension()->Lock, irql);
}

// --- Port requests ---

void Port::DisablePort() {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    portEnabled_ = false;
    auto drained = DrainAllLocked(USBD_STATUS_DEV_NOT_RESPONDING);
    KeReleaseSpinLock(&Extension()->Lock, irql);
    CompleteTransfers(drained);
}

NTSTATUS Port::ResetPort() {
    if (!connected_) return STATUS_DEVICE_NOT_CONNECTED;
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    auto drained = DrainAllLocked(USBD_STATUS_CANCELED);
    // The device comes back addressed and configured as before, so pipe handles stay valid.
    bool ok = WithModel([&] {
        model_.BusReset();
        if (configurationValue_ == 0) return true;
        bool good = model_.Control(SetupPacket{0x00, kStdSetConfiguration, configurationValue_, 0, 0}, {}).handshake == Handshake::Ack;
        for (auto [number, alternate] : alternates_)
            if (good && alternate)
                good = model_.Control(SetupPacket{0x01, kStdSetInterface, alternate, number, 0}, {}).handshake == Handshake::Ack;
        return good;
    });
    for (auto& [handle, record] : pipes_) hc_.ClearHalt(record.pipe);
    portEnabled_ = true;
    KeReleaseSpinLock(&Extension()->Lock, irql);
    CompleteTransfers(drained);
    WaitForCancelRoutines();
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

}  // namespace tarvel::usb
