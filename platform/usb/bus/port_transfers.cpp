// Transfers through the host controller: queueing with a cancel routine, completion from the frame DPC
// (or, for transfers ended by an abort, reset or unplug, at DISPATCH_LEVEL before the request that
// ended them), cancellation by the sender, and the frame timer that runs only while something is due.
#include <algorithm>
#include <cstring>
#include <string>

#include <usbdlib.h>

#include "tarvel/kernel.h"
#include "usb/bus/port.h"
#include "usb/bus/usb_bus.h"
#include "usb/descriptors/descriptor_parse.h"

namespace tarvel::usb {
namespace {

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

VOID NTAPI CancelTransferRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortOf(device)->CancelTransfer(irp);
}

Transfer* TransferOf(PIRP irp) { return static_cast<Transfer*>(irp->Tail.Overlay.DriverContext[0]); }

// A transfer buffer given by address is described by an MDL the stack builds for nonpaged memory: a
// buffer in paged pool is not resident when the controller reaches it. (An MDL the sender locked is
// fine wherever its pages are.)
void CheckTransferBuffer(const char* routine, PVOID buffer, PMDL mdl, ULONG length) {
    if (mdl || !buffer || length == 0 || !kernel::InPagedPool(buffer)) return;
    kernel::VerifierStop("transfer buffer in paged pool", routine, buffer,
                         std::to_string(length) + " bytes: use nonpaged pool or an MDL of locked pages");
}

// Limits of one bulk or interrupt transfer of the platform's USB 2.0 stack, by the device's speed; the
// MaximumTransferSize a driver asks for in its select-configuration request is not used by it.
constexpr ULONG kFullSpeedTransferLimit = 256 * 1024;
constexpr kernel::VirtualTime kHighSpeedFrame = 125 * kernel::kMicrosecond;
constexpr ULONG kHighSpeedTransferLimit = 3584 * 1024;

}  // namespace

ULONG Port::MaximumBulkOrInterruptTransfer() const {
    return hc_.FrameDuration() == kHighSpeedFrame ? kHighSpeedTransferLimit : kFullSpeedTransferLimit;
}

// --- Transfers ---

NTSTATUS Port::BulkOrInterrupt(PIRP irp, PURB urb) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PipeRecord* record = Lookup(r.PipeHandle);
    HostController::Pipe* pipe = record ? record->pipe : nullptr;
    KeReleaseSpinLock(&Extension()->Lock, irql);
    if (!pipe) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    if (pipe->endpoint.type != EndpointType::Bulk && pipe->endpoint.type != EndpointType::Interrupt)
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    if (r.TransferBufferLength > MaximumBulkOrInterruptTransfer()) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    // The stack takes the direction from the request and refuses one that the endpoint cannot do.
    const bool in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != IsIn(pipe->endpoint.address)) return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    CheckTransferBuffer("URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER", r.TransferBuffer, r.TransferBufferMDL,
                        r.TransferBufferLength);
    auto t = std::make_unique<Transfer>();
    if (!ResolveBuffer(r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength, &t->buffer))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    t->type = pipe->endpoint.type;
    t->endpoint = pipe->endpoint.address;
    t->in = in;
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
    if (((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0) != IsIn(pipe->endpoint.address))
        return FinishUrbAtOnce(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    CheckTransferBuffer("URB_FUNCTION_ISOCH_TRANSFER", r.TransferBuffer, r.TransferBufferMDL, r.TransferBufferLength);
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
    CheckTransferBuffer("control transfer", buffer, mdl, length);
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

}  // namespace tarvel::usb
