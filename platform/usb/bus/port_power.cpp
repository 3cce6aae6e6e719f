// Power requests at a port's physical device object: device power states (suspend and resume of the
// device and its frames), wait-wake and the device's remote wake-up.
#include <cstdio>
#include <cstring>
#include <string>

#include "tarvel/kernel.h"
#include "usb/bus/force_pending.h"
#include "usb/bus/port.h"
#include "usb/bus/usb_bus.h"

namespace tarvel::usb {
namespace {

VOID NTAPI CancelWaitWakeRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PortOf(device)->CancelWaitWake(irp);
}

}  // namespace

// --- Power ---

NTSTATUS Port::Power(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return WaitWake(irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) SetDevicePower(stack->Parameters.Power.State.DeviceState);
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    // Now and then under the force-pending mode: later, from where the platform may complete it.
    if (CompleteLater(irp, status, irp->IoStatus.Information, PowerCompletionContext(pdo_), 0.5)) return STATUS_PENDING;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void Port::SetDevicePower(DEVICE_POWER_STATE state) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    powerState_ = state;
    const bool suspended = state != PowerDeviceD0;
    // Transfers still queued do not move while the device is suspended; they go on after resume.
    hc_.SetSuspended(suspended);
    WithModel([&] {
        model_.SetSuspended(suspended);
        return 0;
    });
    if (!suspended) {
        hc_.Activity();
        ArmTimerLocked();
    }
    KeReleaseSpinLock(&Extension()->Lock, irql);
    POWER_STATE s;
    s.DeviceState = state;
    PoSetPowerState(pdo_, DevicePowerState, s);
}

NTSTATUS Port::WaitWake(PIRP irp) {
    if (!model_.Blueprint().remoteWakeup) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_NOT_SUPPORTED);
    }
    if (!connected_) {
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_NO_SUCH_DEVICE);
    }
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    if (waitWake_) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_DEVICE_BUSY);
    }
    IoMarkIrpPending(irp);
    (void)IoSetCancelRoutine(irp, CancelWaitWakeRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        KeReleaseSpinLock(&Extension()->Lock, irql);
        PoStartNextPowerIrp(irp);
        CompleteRequest(irp, STATUS_CANCELLED);
        return STATUS_PENDING;
    }
    waitWake_ = irp;
    // Arming wait-wake lets the device signal resume.
    WithModel([&] { return model_.Control(SetupPacket{0x00, kStdSetFeature, kFeatureDeviceRemoteWakeup, 0, 0}, {}).handshake; });
    KeReleaseSpinLock(&Extension()->Lock, irql);
    return STATUS_PENDING;
}

// Takes the pending wait-wake request if its cancel routine has not claimed it; with the lock held.
static PIRP TakeWaitWake(PIRP& slot) {
    PIRP irp = slot;
    if (!irp) return nullptr;
    slot = nullptr;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return nullptr;  // being cancelled: its routine completes it
    return irp;
}

void Port::CancelWaitWake(PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    if (waitWake_ == irp) waitWake_ = nullptr;
    if (connected_)
        WithModel([&] { return model_.Control(SetupPacket{0x00, kStdClearFeature, kFeatureDeviceRemoteWakeup, 0, 0}, {}).handshake; });
    KeReleaseSpinLock(&Extension()->Lock, irql);
    PoStartNextPowerIrp(irp);
    CompleteRequest(irp, STATUS_CANCELLED);
}

void Port::FailWaitWake(NTSTATUS status) {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PIRP irp = TakeWaitWake(waitWake_);
    KeReleaseSpinLock(&Extension()->Lock, irql);
    if (!irp) return;
    PoStartNextPowerIrp(irp);
    CompleteRequest(irp, status);
}

bool Port::DeviceRemoteWake() {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    PIRP irp = TakeWaitWake(waitWake_);
    KeReleaseSpinLock(&Extension()->Lock, irql);
    if (!irp) return false;
    PoStartNextPowerIrp(irp);
    CompleteRequest(irp, STATUS_SUCCESS);
    return true;
}

}  // namespace tarvel::usb
