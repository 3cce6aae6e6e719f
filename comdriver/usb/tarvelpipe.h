// tarvelpipe: the USB pipe driver. Function driver of one USB device: it selects the device's
// configuration, exposes the endpoints of one interface as named pipes, carries reads, writes and
// a private device-control set on them, and is the power policy owner of the device.
#pragma once

#include "driverkit.h"
#include "pipeioctl.h"

// Every allocation of this driver carries the tag "TPIP" (characters in memory order).
#define PIPE_POOL_TAG ((ULONG)'T' | ((ULONG)'P' << 8) | ((ULONG)'I' << 16) | ((ULONG)'P' << 24))

#define PIPE_DEFAULT_TRANSFER_SIZE 4096
#define PIPE_LINK_NAME_CHARS 257
#define PIPE_SELECT_ANY 0xFFFFFFFF
// Interval at which a drain that is still waiting aborts the pipes again: a transfer that passed
// its state check just before the drain began may reach the bus after the first abort.
#define PIPE_DRAIN_RETRY_MS 50
// A stop gives up after this long when a request below ignores its abort or cancellation.
#define PIPE_STOP_DRAIN_LIMIT_MS 5000
// Interval at which the device request of a return to the working state is asked for again when
// the power manager could not issue it (no memory for the request).
#define PIPE_POWER_RETRY_MS 10

// IoState values.
#define PIPE_IO_NOT_READY 0
#define PIPE_IO_READY 1
#define PIPE_IO_REMOVED 2

// The open marker of a pipe lives in PipeFlags of its own USBD_PIPE_INFORMATION copy.
#define PIPE_MARKER_CLOSED 0
#define PIPE_MARKER_OPEN 1

// One pipe of the selected interface.
typedef struct _PIPE_ENTRY {
    PUSBD_PIPE_INFORMATION PipeInfo; // inside CONFIG_INFO.InterfaceInfo
    ULONG SegmentSize;               // most bytes one URB carries; bulk and interrupt pipes only
} PIPE_ENTRY, *PPIPE_ENTRY;

// The configured device: descriptors, the selected interface and its pipe table.
typedef struct _CONFIG_INFO {
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // wTotalLength bytes, checked at start
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    PPIPE_ENTRY PipeTable; // InterfaceInfo->NumberOfPipes entries
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
} CONFIG_INFO, *PCONFIG_INFO;

// Per-device state.
typedef struct _PIPE_EXTENSION {
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT FunctionalDevice;
    PDEVICE_OBJECT PhysicalDevice;
    DEVICE_CAPABILITIES Capabilities;
    ULONG MaximumTransferSize;
    LONG OutstandingIo;
    KEVENT RemoveEvent; // OutstandingIo reached 0
    KEVENT StopEvent;   // OutstandingIo fell to 1 (only the device's own reference left)
    BOOLEAN Started;
    BOOLEAN Removed;
    BOOLEAN SurpriseRemoved;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    WCHAR InterfaceLinkName[PIPE_LINK_NAME_CHARS]; // no terminator
    PCONFIG_INFO ConfigInfo;
    KSPIN_LOCK IoCountLock;
    KSPIN_LOCK StateLock;
    ULONG SystemPowerState;
    ULONG DevicePowerState;
    ULONG IoState;
    PIRP WaitWakeIrp;
    ULONG WaitWakeCompletionClaim;
    ULONG WaitWakeRequested;
    ULONG RemoteWakeupCapable;
    ULONG WaitWakeDisarmed;
    // Bumped at every configuration; a file object's binding carries the value it was made under,
    // so a binding that outlived its pipe table is recognised without touching freed memory.
    ULONG ConfigGeneration;
    // Initiators that hold an I/O reference while they wait for a device power request this driver
    // asks for (a system request, a client's suspend or resume, also while it waits for its turn);
    // a power-down must not wait for their references.
    LONG PowerWaiters;
    // Clients' suspends and resumes take turns: one device power request of theirs at a time, so
    // that a resume cannot overtake a power-down under way.
    KEVENT ClientPowerTurn;
    // Set at every fall of OutstandingIo, for drains that wait for a count other than 1.
    KEVENT IoCountDropped;
    // The system request that waits for the device request asked for on its behalf. The power
    // manager sends a device one system request at a time, so one place is enough and no
    // allocation can stand between a system request and its device request.
    PIRP SystemPowerIrp;
    // Asks again for the device request of a return to the working state that could not be issued.
    KTIMER SystemPowerRetryTimer;
    KDPC SystemPowerRetryDpc;
    // Signalled while no wait-wake request is asked for or outstanding, so that stop and removal
    // can be sure the wait-wake callback no longer touches this extension.
    KEVENT WaitWakeIdleEvent;
    // Control transfers on the default pipe while they are at the bus (CONTROL_REQUEST): aborting
    // the pipes does not reach the default pipe, so a stop or power-down cancels these instead.
    LIST_ENTRY ControlRequests;
    KSPIN_LOCK ControlLock;
} PIPE_EXTENSION, *PPIPE_EXTENSION;

// A control transfer on the default pipe that a stop or power-down may have to cancel. Whoever lets
// go of it last (the completion, or the canceller that was using its request) finishes it, so the
// request stays valid for the canceller however the two meet.
typedef struct _CONTROL_REQUEST {
    LIST_ENTRY Link; // in ControlRequests while the request is at the bus
    PIRP Irp;
    PURB Urb;
    PDEVICE_OBJECT DeviceObject;
    LONG Holders;      // the transfer itself, plus a canceller using Irp
    BOOLEAN Direct;    // the client's own request (codes 17 and 18), else this driver's waiting one
    BOOLEAN Cancelled; // a canceller has been at it
    KEVENT Done;       // waiting requests: the bus is done with the request
    KEVENT Released;   // waiting requests: no canceller uses the request any more
} CONTROL_REQUEST, *PCONTROL_REQUEST;

// One segmented bulk or interrupt transfer in progress.
typedef struct _TRANSFER_CONTEXT {
    PURB Urb; // reused for every segment
    PDEVICE_OBJECT DeviceObject;
    PMDL PartialMdl; // MDL mode: the current segment inside the request's MDL
    ULONG Remaining;
    ULONG Transferred;
    ULONG_PTR NextAddress;
    ULONG SegmentSize;
    PPIPE_ENTRY Pipe;
    ULONG CurrentLength; // bytes asked of the bus for the segment in flight
} TRANSFER_CONTEXT, *PTRANSFER_CONTEXT;

// Deferred completion of a failed transfer: the pipe is reset at PASSIVE_LEVEL first.
typedef struct _RESET_WORK_CONTEXT {
    PIRP Irp;
    PTRANSFER_CONTEXT Context;
    PIO_WORKITEM WorkItem;
} RESET_WORK_CONTEXT, *PRESET_WORK_CONTEXT;

// How the entry that starts a transfer wants it carried.
typedef struct _TRANSFER_PARAMETERS {
    ULONG TransferFlags;
    ULONG Length;
    BOOLEAN MdlMode;       // TRUE: the request's MDL; FALSE: Buffer (the system buffer)
    PVOID Buffer;          // system-buffer mode only
    ULONG PartialMdlSize;  // MDL mode: bytes the partial MDL must be able to describe
} TRANSFER_PARAMETERS, *PTRANSFER_PARAMETERS;

// ---------------------------------------------------------------------------------------------
// Pool
// ---------------------------------------------------------------------------------------------
inline PVOID PipeAllocate(POOL_TYPE Type, SIZE_T Bytes) {
    return (ExAllocatePoolWithTag)(Type, Bytes, PIPE_POOL_TAG);
}
inline PVOID PipeAllocateZeroed(POOL_TYPE Type, SIZE_T Bytes) {
    PVOID p = PipeAllocate(Type, Bytes);
    if (p != NULL) {
        RtlZeroMemory(p, Bytes);
    }
    return p;
}
inline VOID PipeFree(PVOID p) {
    ExFreePoolWithTag(p, PIPE_POOL_TAG);
}

inline PPIPE_EXTENSION PipeExt(PDEVICE_OBJECT DeviceObject) {
    return (PPIPE_EXTENSION)DeviceObject->DeviceExtension;
}

// ---------------------------------------------------------------------------------------------
// Driver and device (driver.cpp)
// ---------------------------------------------------------------------------------------------
extern ULONG PipeDebugLevel;
DRIVER_ENTRY DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI PipeUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI PipeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS ReadDeviceValue(PDEVICE_OBJECT PhysicalDevice, PCWSTR Name, PULONG Value);

// ---------------------------------------------------------------------------------------------
// Configuration and pipe table (config.cpp, descriptors.cpp)
// ---------------------------------------------------------------------------------------------
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PCONFIG_INFO ConfigInfo);
VOID DeconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SendInternalIoctlSync(PDEVICE_OBJECT DeviceObject, ULONG IoControlCode, PVOID Argument1);
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PPIPE_ENTRY Pipe);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, PPIPE_ENTRY Pipe);
NTSTATUS AbortOpenPipes(PDEVICE_OBJECT DeviceObject);
VOID AbortAllPipes(PDEVICE_OBJECT DeviceObject);
NTSTATUS CheckConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR Descriptor, ULONG BytesReturned);
ULONG ComputeSegmentSize(PUSBD_PIPE_INFORMATION PipeInfo, ULONG RegistryValue);
ULONG PipeCount(PPIPE_EXTENSION Extension);

// ---------------------------------------------------------------------------------------------
// Pipe names, open and close (pipename.cpp)
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI PipeCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PipeClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PipeCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
PPIPE_ENTRY GetBoundPipe(PPIPE_EXTENSION Extension, PFILE_OBJECT FileObject);

// ---------------------------------------------------------------------------------------------
// Transfer engine (transfer.cpp, isoch.cpp)
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI PipeReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StartPipeTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_ENTRY Pipe,
                           PTRANSFER_PARAMETERS Parameters);
NTSTATUS StartIsochTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, PPIPE_ENTRY Pipe, BOOLEAN Read);
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
BOOLEAN IsBulkOrInterrupt(PPIPE_ENTRY Pipe);

// ---------------------------------------------------------------------------------------------
// Private device-control set (devctl.cpp, controlxfer.cpp)
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI PipeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ControlTransferBuffered(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ControlTransferDirect(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Read);
NTSTATUS SubmitControlUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);
VOID CancelControlTransfers(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// PnP and I/O counting (pnp.cpp, iocount.cpp)
// ---------------------------------------------------------------------------------------------
VOID IncrementIo(PDEVICE_OBJECT DeviceObject);
LONG DecrementIo(PDEVICE_OBJECT DeviceObject);
BOOLEAN CanAcceptIo(PDEVICE_OBJECT DeviceObject);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PassDownUncounted(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PipePnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN DrainTransfers(PDEVICE_OBJECT DeviceObject, LONG ReferencesHeld, BOOLEAN ExceptPowerWaiters, ULONG LimitMs);

// ---------------------------------------------------------------------------------------------
// Power (power.cpp, waitwake.cpp)
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI PipePowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueryPhysicalCapabilities(PDEVICE_OBJECT PhysicalDevice, PDEVICE_CAPABILITIES Capabilities);
VOID InitializeSystemPower(PPIPE_EXTENSION Extension);
NTSTATUS ArmWaitWake(PPIPE_EXTENSION Extension);
VOID DisarmWaitWake(PPIPE_EXTENSION Extension);
NTSTATUS WaitWakeDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RequestDevicePowerAndWait(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
