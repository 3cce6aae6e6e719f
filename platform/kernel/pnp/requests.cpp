#include "pnp/requests.h"

namespace tarvel::pnp {

namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

RequestResult SendAndWait(PDEVICE_OBJECT target, UCHAR majorFunction, UCHAR minorFunction,
                          const std::function<void(PIO_STACK_LOCATION)>& fill) {
    // The managers' own requests are not where a fault belongs: a removal that could not be sent would
    // strand a whole stack. An injected allocation failure is therefore retried.
    PIRP irp = nullptr;
    for (int attempt = 0; irp == nullptr && attempt < 100; ++attempt) irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = majorFunction;
    location->MinorFunction = minorFunction;
    if (fill) fill(location);

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    const NTSTATUS sent =
        majorFunction == IRP_MJ_POWER ? PoCallDriver(target, irp) : IoCallDriver(target, irp);
    if (sent == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const RequestResult result{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return result;
}

} // namespace tarvel::pnp
