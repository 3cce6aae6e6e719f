// URBs at the physical device object: the dispatch of IRP_MJ_INTERNAL_DEVICE_CONTROL, URB checks, and
// the pipe and port requests that complete at once.
#include <algorithm>
#include <cstring>
#include <string>

#include <usbdlib.h>

#include "tarvel/kernel.h"
#include "usb/bus/force_pending.h"
#include "usb/bus/port.h"
#include "usb/bus/usb_bus.h"
#include "usb/descriptors/descriptor_parse.h"

#ifndef STATUS_DEVICE_POWERED_OFF
#define STATUS_DEVICE_POWERED_OFF ((NTSTATUS)0xC000028FL)
#endif

namespace tarvel::usb {
namespace {

// A port request the bus answers at once, or later under the force-pending mode.
NTSTATUS AnswerPortRequest(PIRP irp, NTSTATUS status) {
    if (CompleteLater(irp, status, 0, LaterFrom::Dpc)) return STATUS_PENDING;
    return CompleteRequest(irp, status);
}

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
        if (!word) return AnswerPortRequest(irp, STATUS_INVALID_PARAMETER);
        *word = (connected_ ? USBD_PORT_CONNECTED : 0) | (connected_ && portEnabled_ ? USBD_PORT_ENABLED : 0);
        return AnswerPortRequest(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_ENABLE_PORT:
        if (!connected_) return AnswerPortRequest(irp, STATUS_DEVICE_NOT_CONNECTED);
        portEnabled_ = true;
        return AnswerPortRequest(irp, STATUS_SUCCESS);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return AnswerPortRequest(irp, ResetPort());
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        if (!connected_) return AnswerPortRequest(irp, STATUS_DEVICE_NOT_CONNECTED);
        CyclePort();
        return AnswerPortRequest(irp, STATUS_SUCCESS);
    default:
        return AnswerPortRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
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
    if (CompleteLater(irp, status, 0, LaterFrom::Dpc, 1.0, urb, usbdStatus)) return STATUS_PENDING;
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
    // Abort and reset wait for the pipe's transfers to end: the platform takes them at PASSIVE_LEVEL only.
    if ((function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
         function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL) &&
        KeGetCurrentIrql() != PASSIVE_LEVEL)
        kernel::VerifierStop("pipe request above PASSIVE_LEVEL", function == URB_FUNCTION_ABORT_PIPE
                                                                     ? "URB_FUNCTION_ABORT_PIPE"
                                                                     : "URB_FUNCTION_SYNC_RESET_PIPE",
                             urb, "IRQL " + std::to_string(KeGetCurrentIrql()));
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
