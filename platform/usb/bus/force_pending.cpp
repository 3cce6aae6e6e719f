#include "usb/bus/force_pending.h"

#include <memory>

#include <usb.h>

#include "tarvel/kernel.h"
#include "tarvel/verifier.h"

namespace tarvel::usb {
namespace {

// A completion on its way: kernel objects in memory of the bus's own, gone once it has run.
struct Deferred {
    KDPC dpc;
    KTIMER timer;
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
    PURB urb;
    LONG urbStatus;
};

void Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI DeferredCompletionDpc(PKDPC, PVOID context, PVOID, PVOID) {
    std::unique_ptr<Deferred> deferred(static_cast<Deferred*>(context));
    if (deferred->urb) deferred->urb->UrbHeader.Status = deferred->urbStatus;
    Finish(deferred->irp, deferred->status, deferred->information);
}

}  // namespace

bool CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information, LaterFrom from, double share, PURB urb,
                   LONG urbStatus) {
    if (!kernel::ForcePendingOn() || status == STATUS_PENDING || !kernel::ForcePendingCoin(share)) return false;
    IoMarkIrpPending(irp);
    if (urb) urb->UrbHeader.Status = USBD_STATUS_PENDING;
    if (kernel::Tracing()) kernel::Trace("usb: force pending, completes later");
    if (from == LaterFrom::Worker) {
        kernel::QueueWork(kernel::WorkQueue::Critical, [irp, status, information, urb, urbStatus] {
            if (urb) urb->UrbHeader.Status = urbStatus;
            Finish(irp, status, information);
        });
        return true;
    }
    auto* deferred = new Deferred{};
    deferred->irp = irp;
    deferred->status = status;
    deferred->information = information;
    deferred->urb = urb;
    deferred->urbStatus = urbStatus;
    KeInitializeDpc(&deferred->dpc, DeferredCompletionDpc, deferred);
    if (kernel::ForcePendingCoin(0.5)) {
        KeInsertQueueDpc(&deferred->dpc, nullptr, nullptr);  // below DISPATCH_LEVEL it runs here and now
    } else {
        KeInitializeTimer(&deferred->timer);
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(kernel::kMicrosecond);
        KeSetTimer(&deferred->timer, due, &deferred->dpc);
    }
    return true;
}

LaterFrom PowerCompletionContext(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    const bool pageable = (top->Flags & DO_POWER_PAGABLE) != 0;
    ObDereferenceObject(top);
    return pageable ? LaterFrom::Worker : LaterFrom::Dpc;
}

}  // namespace tarvel::usb
