// Power for the port device. The pipe driver below owns the power policy; the port only reacts to
// the device power requests on their way down: before a power-down nothing of the port may be
// outstanding on the pipes, and after the return to D0 an open port tells the device its state
// again and restarts its engines.
#include "tarvelport.h"

namespace {

NTSTATUS PassPowerDown(PPORT_EXTENSION Ext, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Ext->LowerDevice, Irp);
}

// Power-up of an open port: the drivers below first, then the device's state and the engines, and
// only then the request's completion. Its completion is what lets the system's return to the working
// state finish; a write sent from that moment on must find the transmitter running, not stopped (a
// stopped transmitter takes writes as done with 0 bytes and drops their data).
NTSTATUS PowerUpOpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &Event, TRUE, TRUE, TRUE);
    NTSTATUS Status = PoCallDriver(Ext->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }

    AcquireOpenCloseLock(Ext);
    Ext->DevicePowerState = PortPowerWorking;
    if (Ext->OpenCount != 0) {   // unless the application closed the port meanwhile
        Ext->ModemControl = MODEM_CONTROL_RTS | MODEM_CONTROL_DTR;
        ReflectRaisedLines(Ext);
        // The bytes the buffered transmitter accepted before the power-down, and the rest of the
        // transfer the power-down cut off, go out now, in order; the writes held meanwhile follow.
        RestartOpenPort(DeviceObject);
    }
    ReleaseOpenCloseLock(Ext);

    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

} // namespace

NTSTATUS NTAPI PortPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    BOOLEAN SetOrQuery = Stack->MinorFunction == IRP_MN_SET_POWER || Stack->MinorFunction == IRP_MN_QUERY_POWER;
    if (!SetOrQuery || Stack->Parameters.Power.Type != DevicePowerState) {
        return PassPowerDown(Ext, Irp);
    }

    DEVICE_POWER_STATE State = Stack->Parameters.Power.State.DeviceState;
    if (State == PowerDeviceD1 || State == PowerDeviceD2 || State == PowerDeviceD3) {
        // Nothing of the port may be outstanding on the pipes when the device powers down.
        AcquireOpenCloseLock(Ext);
        Ext->DevicePowerState = PortPowerDown;
        if (Ext->OpenCount != 0) {
            PausePort(DeviceObject);   // reads, waits and writes not yet sent wait for the power-up
        } else {
            StopEngines(DeviceObject);
            StopTransmit(Ext);
        }
        ReleaseOpenCloseLock(Ext);
        return PassPowerDown(Ext, Irp);
    }

    if (State == PowerDeviceD0 && Stack->MinorFunction == IRP_MN_SET_POWER) {
        AcquireOpenCloseLock(Ext);
        if (Ext->OpenCount == 0) {
            Ext->DevicePowerState = PortPowerWorking;
            ReleaseOpenCloseLock(Ext);
            return PassPowerDown(Ext, Irp);
        }
        ReleaseOpenCloseLock(Ext);
        return PowerUpOpenPort(DeviceObject, Irp);
    }
    return PassPowerDown(Ext, Irp);
}
