// Routines of the port's engines: receive engine, read requests and timeouts, transmit engine with
// its direct and buffered transmitters, modem and line status polling, serial events and status
// requests. Owned by the engines' developer (receive.cpp, read.cpp, transmit.cpp, txbuffered.cpp,
// status.cpp, events.cpp), who fills this file in.
//
// Until then it lists the routines that the rest of the driver calls, under the names the rest of
// the driver uses; the engines' developer may change them here (and tell the port's developer).
// Included at the end of tarvelport.h.
#pragma once

// Receive engine.
NTSTATUS StartReceive(PPORT_EXTENSION Ext);
NTSTATUS StopReceive(PPORT_EXTENSION Ext);
KDEFERRED_ROUTINE RxTimerRoutine;                 // RxTimer; context: the port device object

// Read requests and timeouts.
NTSTATUS ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);      // after the removal check
VOID CancelAllReads(PPORT_EXTENSION Ext);
VOID StartReadTotalTimer(PPORT_EXTENSION Ext);   // caller holds the cancel spin lock
KDEFERRED_ROUTINE ReadTotalTimerRoutine;          // context: the port device object
KDEFERRED_ROUTINE ReadIntervalTimerRoutine;       // context: the port device object

// Transmit engine, both transmitters.
NTSTATUS WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);     // after the removal check
NTSTATUS StopTransmit(PPORT_EXTENSION Ext);
VOID CancelAllWrites(PPORT_EXTENSION Ext);
KDEFERRED_ROUTINE WriteTimerRoutine;              // direct; context: the PORT_EXTENSION
KDEFERRED_ROUTINE BufferedWriteTimerRoutine;      // buffered; context: the PORT_EXTENSION
KDEFERRED_ROUTINE KickTimerRoutine;               // context: the PORT_EXTENSION

// Modem and line status polling.
NTSTATUS ReadInitialStatus(PPORT_EXTENSION Ext);
NTSTATUS StartStatusPolling(PPORT_EXTENSION Ext);
VOID StopStatusPolling(PPORT_EXTENSION Ext);
KDEFERRED_ROUTINE StatusTimerRoutine;             // context: the port device object

// Serial events and status requests. The handlers are called by SerialDeviceControl after its
// removal and buffer-length checks (WAIT_ON_MASK: output 4, PURGE: input 4), complete the request
// and return its status.
NTSTATUS RaiseEvents(PDEVICE_OBJECT DeviceObject, ULONG Events);
NTSTATUS CompleteWait(PDEVICE_OBJECT DeviceObject);
NTSTATUS SerialGetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialSetWaitMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialWaitOnMask(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialGetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialGetModemStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialPurge(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialGetStats(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialClearStats(PDEVICE_OBJECT DeviceObject, PIRP Irp);
