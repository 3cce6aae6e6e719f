// PoRequestPowerIrp: the power manager builds a power request, sends it to the top of the target
// device's stack, calls the requester's callback with the final status and frees the request.
#include <ntddk.h>

#include "pnp/attached.h"
#include "tarvel/kernel.h"

namespace {

struct PowerRequest {
    PDEVICE_OBJECT target;
    UCHAR minorFunction;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
};

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<PowerRequest*>(context);
    if (request->callback != nullptr)
        tarvel::kernel::RunDriverCallback("PoRequestPowerIrp callback", reinterpret_cast<void*>(request->callback),
                                          [&] {
                                              request->callback(request->target, request->minorFunction,
                                                                request->state, request->context, &irp->IoStatus);
                                          });
    IoFreeIrp(irp);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    tarvel::kernel::SwitchPoint();
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (tarvel::kernel::ShouldFail(tarvel::kernel::FaultSite::PowerIrp)) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = tarvel::pnp::AttachedTop(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = IRP_MJ_POWER;
    location->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        location->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        location->Parameters.Power.SystemContext = 0;
        location->Parameters.Power.Type = DevicePowerState;
        location->Parameters.Power.State = PowerState;
        location->Parameters.Power.ShutdownType = PowerActionNone;
    }
    auto* request = new PowerRequest{DeviceObject, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;
    // A power-pageable stack gets its request at PASSIVE_LEVEL, from a system worker when the
    // requester runs at raised IRQL (a completion routine, a DPC). Not from the power thread: a
    // system request it is waiting for may itself wait for this device request.
    if ((top->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() > PASSIVE_LEVEL)
        tarvel::kernel::QueueWork(tarvel::kernel::WorkQueue::Critical, [top, irp] { PoCallDriver(top, irp); });
    else
        PoCallDriver(top, irp);
    return STATUS_PENDING;
}
