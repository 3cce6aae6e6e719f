// Routines of the port's engines: the receive engine (receive.cpp), read requests and their
// timeouts (read.cpp), the transmit engine with its direct transmitter (transmit.cpp) and its
// buffered transmitter (txbuffered.cpp), modem and line status polling (status.cpp), and the serial
// events and status requests (events.cpp). Included at the end of tarvelport.h.
//
// Notes for the rest of the driver (open, power, lifecycle):
// - OpenPort: please also set RxPending = 0 and RxLastLength = 0 with the other engine state (step
//   4). The receive engine keeps bytes it could not yet put into RxRing in RxBuffer across a
//   StopReceive/StartReceive pair (ring resize, power cycle) and moves them in before it reads
//   again; a fresh RxBuffer after open holds none.
// - StopEngines: please call StopReceive then StopStatusPolling. Status polling never runs, and
//   StatusPipe is never touched, when EndPointCaps is 0 or CtlPollPeriod is negative.
// - Power-up of an open port: after clearing TxStopped, call ResumeTransmit, so that a buffered
//   write that waits for room in TxRing is topped up and the pump starts again.
// - AddDevice: TxState values 5 and 6 are used besides 0 to 4 (see transmit.cpp); TxState and
//   TimeoutBusy start at 0.
#pragma once

// Relative due time in milliseconds as a timer wants it, for values that an application chooses
// (up to 2^64 - 1 ms): saturated so that the conversion to 100-ns units cannot overflow.
constexpr ULONG64 PORT_LONGEST_TIMEOUT_MS = 0x7FFFFFFFFFFFFFFFull / 10000;
inline LARGE_INTEGER TimeoutDueTime(ULONG64 Ms)
{
    return RelativeMs((LONGLONG)(Ms > PORT_LONGEST_TIMEOUT_MS ? PORT_LONGEST_TIMEOUT_MS : Ms));
}

// Stops a timer, and its DPC when the timer has expired but the DPC has not run yet, so that a
// timeout meant for one request cannot reach the next. The timer is also made not signalled (set, then
// cancelled): a DPC of it that has already started checks KeReadStateTimer under the lock that guards
// the requests and finds the expiry withdrawn.
constexpr LONGLONG PORT_TIMER_PARK_MS = 3600 * 1000;
inline VOID StopTimer(PKTIMER Timer, PKDPC Dpc)
{
    KeSetTimer(Timer, RelativeMs(PORT_TIMER_PARK_MS), nullptr);
    KeCancelTimer(Timer);
    KeRemoveQueueDpc(Dpc);
}

// ---------------------------------------------------------------------------------------------
// Receive engine (receive.cpp). One bulk-in read outstanding, or RxTimer armed, while running.
// ---------------------------------------------------------------------------------------------
// RxStopped: 0 running (or parked after an error), 1 stopped, 2 being stopped. Every test of the flag
// by the engine treats a nonzero value as "stop"; only StartReceive tells 1 from 2.
constexpr UCHAR RX_RUNNING = 0;
constexpr UCHAR RX_STOPPED = 1;
constexpr UCHAR RX_STOPPING = 2;
NTSTATUS StartReceive(PPORT_EXTENSION Ext);
NTSTATUS StopReceive(PPORT_EXTENSION Ext);            // PASSIVE_LEVEL
KDEFERRED_ROUTINE RxTimerRoutine;                     // RxTimer; context: the port device object

// ---------------------------------------------------------------------------------------------
// Read requests and timeouts (read.cpp). The cancel spin lock guards CurrentReadIrp and ReadQueue.
// ---------------------------------------------------------------------------------------------
NTSTATUS ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);   // after the removal check
NTSTATUS FillCurrentRead(PPORT_EXTENSION Ext);
VOID StartNextRead(PDEVICE_OBJECT DeviceObject);
// Ends the current and every queued read with Status (STATUS_CANCELLED, or STATUS_DELETE_PENDING
// when the device has gone) and Information 0.
VOID CancelAllReads(PPORT_EXTENSION Ext, NTSTATUS Status);
VOID StartReadTotalTimer(PPORT_EXTENSION Ext);        // caller holds the cancel spin lock
KDEFERRED_ROUTINE ReadTotalTimerRoutine;              // context: the port device object
KDEFERRED_ROUTINE ReadIntervalTimerRoutine;           // context: the port device object

// ---------------------------------------------------------------------------------------------
// Transmit engine (transmit.cpp: write dispatch, direct transmitter, stop and cancel-all;
// txbuffered.cpp: buffered transmitter).
// ---------------------------------------------------------------------------------------------
NTSTATUS WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);  // after the removal check
NTSTATUS StopTransmit(PPORT_EXTENSION Ext);           // PASSIVE_LEVEL
// Ends every queued write and the current one with Status (STATUS_CANCELLED, or STATUS_DELETE_PENDING
// when the device has gone) and the bytes of it that went out.
VOID CancelAllWrites(PPORT_EXTENSION Ext, NTSTATUS Status);
// After TxStopped was cleared: the writes held while stopped go on.
VOID ResumeTransmit(PPORT_EXTENSION Ext);
VOID ResumeBufferedTransmit(PPORT_EXTENSION Ext);
// Buffered: drops what TxRing and TxStage hold (a transmit purge, cleanup); the waiting write then
// counts only the bytes of it that really went out.
VOID DiscardTxBuffer(PPORT_EXTENSION Ext);
// Bytes accepted from writes (and an immediate character) and not yet confirmed sent.
ULONG OutQueueAmount(PPORT_EXTENSION Ext);
KDEFERRED_ROUTINE WriteTimerRoutine;                  // direct; context: the PORT_EXTENSION
KDEFERRED_ROUTINE BufferedWriteTimerRoutine;          // buffered; context: the PORT_EXTENSION
KDEFERRED_ROUTINE KickTimerRoutine;                   // context: the PORT_EXTENSION

// Shared by the two transmitters.
VOID StartWriteTimer(PPORT_EXTENSION Ext, ULONG Length);          // arms WriteTimer if due
NTSTATUS AcceptBufferedWrite(PPORT_EXTENSION Ext, PIRP Irp);
VOID StartNextBufferedWrite(PPORT_EXTENSION Ext, BOOLEAN KickAfter);
NTSTATUS Kick(PPORT_EXTENSION Ext);
NTSTATUS SendNullPacket(PPORT_EXTENSION Ext);

// ---------------------------------------------------------------------------------------------
// Modem and line status polling (status.cpp).
// ---------------------------------------------------------------------------------------------
NTSTATUS ReadInitialStatus(PPORT_EXTENSION Ext);      // PASSIVE_LEVEL
NTSTATUS StartStatusPolling(PPORT_EXTENSION Ext);
VOID StopStatusPolling(PPORT_EXTENSION Ext);          // PASSIVE_LEVEL
KDEFERRED_ROUTINE StatusTimerRoutine;                 // context: the port device object
ULONG ModemStatusFromStatusByte(UCHAR StatusByte);
ULONG ModemStatusEvents(ULONG OldStatus, ULONG NewStatus);

// ---------------------------------------------------------------------------------------------
// Serial events and status requests (events.cpp). EventLock is always taken before the cancel
// spin lock. The handlers are called by SerialDeviceControl after its removal and length checks;
// they check their buffers again, complete the request and return its status.
// ---------------------------------------------------------------------------------------------
NTSTATUS RaiseEvents(PDEVICE_OBJECT DeviceObject, ULONG Events);
NTSTATUS CompleteWait(PDEVICE_OBJECT DeviceObject);
DRIVER_CANCEL WaitCancel;
NTSTATUS SerialGetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialSetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID ClearCommErrors(PPORT_EXTENSION Ext);
NTSTATUS SerialGetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialGetModemStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialPurge(PDEVICE_OBJECT DeviceObject, PIRP Irp);    // PASSIVE_LEVEL
NTSTATUS SerialGetStats(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialClearStats(PDEVICE_OBJECT DeviceObject, PIRP Irp);
