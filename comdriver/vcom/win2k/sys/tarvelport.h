// tarvelport: the serial port driver. It creates the COM port device on top of the pipe driver
// (tarvelpipe) in the same device stack and turns the serial request set into pipe I/O and vendor
// commands on the device below. This is the chief header: the device extension with every field of
// every part of the driver, the byte ring, the pipe handles, the vendor command frame, the constants
// and the routines that the driver's files share. The engines' routines (receive, read, transmit,
// status, events) are declared in engines.h, included at the end.
#pragma once

#include "driverkit.h"
#include "pipeioctl.h"

// ---------------------------------------------------------------------------------------------
// Pool tags, four characters as they lie in memory.
// ---------------------------------------------------------------------------------------------
constexpr ULONG PortTag(const char (&t)[5])
{
    return (ULONG)(UCHAR)t[0] | (ULONG)(UCHAR)t[1] << 8 | (ULONG)(UCHAR)t[2] << 16 | (ULONG)(UCHAR)t[3] << 24;
}
constexpr ULONG PORT_TAG_FILT = PortTag("filt");   // registry path copy, registry queries, vendor commands
constexpr ULONG PORT_TAG_INIT = PortTag("init");   // device name, COM link name, PortName query
constexpr ULONG PORT_TAG_CIRC = PortTag("circ");   // ring buffers
constexpr ULONG PORT_TAG_CREA = PortTag("crea");   // receive transfer buffer
constexpr ULONG PORT_REMOVE_LOCK_TAG = PortTag("TVPR");

// ---------------------------------------------------------------------------------------------
// Sizes and fixed values.
// ---------------------------------------------------------------------------------------------
constexpr ULONG PORT_QUEUE_SIZE = 4096;         // receive ring at open, transmit ring at AddDevice
constexpr ULONG TX_STAGE_SIZE = 4096;           // largest transfer of the buffered transmitter
constexpr ULONG PORT_DEFAULT_PACKET_SIZE = 64;  // when the pipe driver names no packet size
constexpr ULONG PIPE_NAME_CHARS = 12;           // name buffer of a PIPE_HANDLE, terminator included
constexpr ULONG PORT_NAME_BYTES = 256;          // PortName data and the COM link name buffer
constexpr ULONG PORT_DEVICE_NAME_CHARS = 256;   // formatting buffer of "\Device\tarvelport%lu"
constexpr ULONG PORT_DEVICE_NUMBERS = 1000;     // device numbers 0 to 999
constexpr LONGLONG PORT_KICK_DELAY = -100000;   // 10 ms, relative
constexpr ULONG PORT_DEFAULT_BAUD_RATE = 115200;

// Relative due time of a timer, from milliseconds (100-ns units, negative = relative).
inline LARGE_INTEGER RelativeMs(LONGLONG Ms)
{
    LARGE_INTEGER Due;
    Due.QuadPart = -Ms * 10000;
    return Due;
}

// PnpState values.
enum PORT_PNP_STATE : LONG {
    PnpNotStarted = 0,
    PnpStarted = 1,
    PnpStopPending = 2,
    PnpStopped = 3,
    PnpRemovePending = 4,
    PnpSurpriseRemoved = 5,
    PnpRemoved = 6,
};

// DevicePowerState values.
enum PORT_POWER_STATE : LONG {
    PortPowerUnknown = 0,   // not yet started
    PortPowerWorking = 1,
    PortPowerDown = 2,
};

// ReadMode values, derived from the read timeouts.
enum PORT_READ_MODE : LONG {
    ReadModeNoTimeout = -1,   // complete only when the buffer is full
    ReadModeTimed = 0,        // interval and total timeouts as set
    ReadModeImmediate = 1,    // return at once with what the ring holds
    ReadModeFirstByte = 2,    // return with the first byte, or after the total constant
};

// ModemControl bits.
constexpr UCHAR MODEM_CONTROL_RTS = 0x01;
constexpr UCHAR MODEM_CONTROL_DTR = 0x02;
constexpr UCHAR MODEM_CONTROL_BREAK = 0x04;

// ModemStatus bits (modem status register).
constexpr ULONG MODEM_STATUS_CTS = 0x10;
constexpr ULONG MODEM_STATUS_DSR = 0x20;
constexpr ULONG MODEM_STATUS_RI = 0x40;
constexpr ULONG MODEM_STATUS_DCD = 0x80;

// ---------------------------------------------------------------------------------------------
// RX_RING: a byte queue with its own spin lock. It never blocks and never overwrites: a put stores
// what fits, a get takes what is there. An index may rest at Size after an operation that ended
// exactly at the end of the buffer; the next operation treats it as 0.
// ---------------------------------------------------------------------------------------------
typedef struct _RX_RING {
    KSPIN_LOCK Lock;        // guards every other field and the buffer contents
    ULONG64 Size;           // capacity of Buffer; 0 without a buffer
    ULONG64 Count;          // bytes held
    ULONG64 ReadIndex;      // oldest byte held
    ULONG64 WriteIndex;     // where the next byte goes
    PUCHAR Buffer;          // non-paged, tag "circ"; null without a buffer
} RX_RING, *PRX_RING;

// ---------------------------------------------------------------------------------------------
// PIPE_HANDLE: one pipe of the device below as the port holds it: its name and the file object on
// which the pipe driver binds it at create. The pipe driver keeps its context in the file object.
// CloseIrp is the request set aside, while the pipe is open, for its close.
// ---------------------------------------------------------------------------------------------
typedef struct _PIPE_HANDLE {
    WCHAR Name[PIPE_NAME_CHARS];
    FILE_OBJECT FileObject;
    PIRP CloseIrp;
} PIPE_HANDLE, *PPIPE_HANDLE;

// ---------------------------------------------------------------------------------------------
// VENDOR_COMMAND: the input of IOCTL_PIPE_CONTROL_TRANSFER by which the port configures the
// device: a host-to-device vendor setup packet followed by the payload (command code, value...).
// ---------------------------------------------------------------------------------------------
#pragma pack(push, 1)
typedef struct _VENDOR_COMMAND {
    UCHAR RequestType;      // 0x40: host to device, vendor, device
    UCHAR Request;          // 0x0B
    USHORT Value;           // 0
    USHORT Index;           // 0
    USHORT Length;          // payload bytes
    UCHAR Payload[ANYSIZE_ARRAY];
} VENDOR_COMMAND, *PVENDOR_COMMAND;
#pragma pack(pop)
static_assert(FIELD_OFFSET(VENDOR_COMMAND, Payload) == PIPE_SETUP_PACKET_LENGTH, "setup packet is 8 bytes");

constexpr UCHAR VENDOR_REQUEST_TYPE = 0x40;
constexpr UCHAR VENDOR_REQUEST = 0x0B;

// Command codes, payload byte 0.
enum VENDOR_COMMAND_CODE : UCHAR {
    VCMD_LINE_SETTINGS = 0,   // 0, settings byte (variants 1, 2) or 0, rate index, flags (variant 3)
    VCMD_MODEM_CONTROL = 1,   // 1, ModemControl
    VCMD_FLOW_CHARS = 2,      // 2, XonChar, XoffChar
    VCMD_PORT_ENABLE = 3,     // 3, 1 enable / 0 disable
    VCMD_ERROR_CHAR = 4,      // 4, error replacement on (1) or off (0), ErrorChar
};

// ---------------------------------------------------------------------------------------------
// PORT_EXTENSION: all state of one COM port, zero-filled at device creation. Field groups in this
// order: identity and PnP, receive, status, transmit, events and modem lines, serial settings,
// lower device and transmit pacing.
// ---------------------------------------------------------------------------------------------
typedef struct _PORT_EXTENSION {
    // 1. Identity and PnP state
    PDEVICE_OBJECT Self;
    LONG PnpState;                  // PORT_PNP_STATE
    LONG PreviousPnpState;
    volatile BOOLEAN Removed;
    volatile BOOLEAN SurpriseRemoved;
    IO_REMOVE_LOCK RemoveLock;      // tag "TVPR"; AddDevice holds it once until removal
    PDEVICE_OBJECT PhysicalDevice;
    UNICODE_STRING DeviceName;      // "\Device\tarvelportN"
    UNICODE_STRING PortLinkName;    // "\DosDevices\" + PortName
    UNICODE_STRING InterfaceLinkName;
    volatile LONG OpenCount;        // interlocked; 0 or 1
    // Open, cleanup and close, and the pause and restart of the open port for a PnP stop or a power
    // change, one at a time: each stops or starts the engines and waits on their idle events, which an
    // open initialises. A synchronization event, signalled while free; PASSIVE_LEVEL. With it held,
    // OpenCount says whether the port is open.
    KEVENT OpenCloseLock;
    // A settings change and the record it sends to the device, one at a time, so that the device ends
    // with the settings as the last change left them and no record goes out half old, half new: taken
    // by the settings requests, and by the restart that sends the settings again. Taken after
    // OpenCloseLock, never before. A synchronization event, signalled while free; PASSIVE_LEVEL. (The
    // lines' requests and the receive engine read single fields as they stand.)
    KEVENT SettingsLock;
    ULONG EndPointCaps;             // 0: no status pipe; 1 to 3: line-settings protocol variant

    // 2. Receive side
    RX_RING RxRing;                 // allocated at open
    volatile BOOLEAN RxEnabled;     // ring has room: data may be put into it
    ULONG RxReqSize;                // bytes of each bulk-in read
    KDEVICE_QUEUE ReadQueue;        // waiting reads; busy while a read is current
    PIRP CurrentReadIrp;            // guarded by the cancel spin lock
    PIPE_HANDLE RxPipe;             // "\PIPE01"
    ULONG RxPacketSize;
    PUCHAR RxBuffer;                // RxReqSize bytes, tag "crea"; allocated at open
    volatile BOOLEAN RxStopped;
    KEVENT RxIdleEvent;
    ULONG64 RxLastLength;           // bytes of the last bulk-in read that brought data
    volatile ULONG64 RxPending;     // bytes of it not yet in the ring
    KTIMER RxTimer;
    KDPC RxTimerDpc;                // context: the port device object
    LONG RxPollPeriod;              // ms
    ULONG RawDump;

    // 3. Status side
    PIPE_HANDLE StatusPipe;         // "\PIPE02"; named only when EndPointCaps is nonzero
    UCHAR StatusByte;
    volatile BOOLEAN StatusStopped;
    KEVENT StatusIdleEvent;
    KTIMER StatusTimer;
    KDPC StatusTimerDpc;            // context: the port device object
    LONG CtlPollPeriod;             // ms; negative: no status polling

    // 4. Transmit side
    PIPE_HANDLE TxPipe;             // "\PIPE00"
    ULONG TxPacketSize;
    UCHAR TxStage[TX_STAGE_SIZE];   // data of the buffered transmitter's transfer on the wire
    ULONG TxKickThreshold;
    KTIMER WriteTimer;
    KDPC WriteTimerDpc;             // context: the PORT_EXTENSION
    volatile BOOLEAN TxStopped;
    KEVENT TxIdleEvent;             // notification; signalled while nothing is transmitted
    ULONG TxAsync;                  // nonzero: buffered transmitter
    ULONG TxAllowNullPacket;
    PIRP CurrentWriteIrp;
    volatile LONG TxState;          // interlocked: which of completion, timeout, cancel-all finishes
    volatile LONG TimeoutBusy;      // interlocked: 3 while a timeout or cancel-all pass runs
    ULONG64 BytesWritten;           // bytes reported for the current direct write
    LIST_ENTRY WriteQueue;          // waiting writes, through Tail.Overlay.ListEntry
    KSPIN_LOCK WriteLock;
    volatile LONG TxBusy;           // interlocked: a buffered transfer is on the wire or being built
    PUCHAR TxSource;                // buffered: first byte of the current write not yet in TxRing
    ULONG64 TxTaken;                // buffered: bytes of the current write already in TxRing
    LONG DevicePowerState;          // PORT_POWER_STATE
    RX_RING TxRing;                 // OutQueueSize bytes from AddDevice to removal
    // Buffered: bytes accepted from writes and not yet confirmed sent by the pipe driver (the rest of
    // waiting writes, TxRing, TxStage); the out-queue amount, what a flush waits for and TXEMPTY.
    volatile LONG TxUnconfirmed;
    // Buffered: the part of TxStage that a stop cut off on the wire (a transfer aborted while the
    // transmitter stopped); it goes out first when the pump runs again, unless the buffer is purged.
    ULONG TxStageOffset;
    ULONG TxStageHeld;
    // The open port is paused (powered down, or stopped by PnP for a rebalance): its engines wait for
    // the restart, new writes are held, and nothing is sent on the pipes.
    volatile BOOLEAN PortPaused;
    // This open found no usable status pipe: the lines read as CTS, DSR and DCD on until the next open.
    BOOLEAN StatusPipeMissing;
    // The paused open port gave its pipes back for a PnP stop; the restart binds them again.
    BOOLEAN PipesReleased;

    // 5. Serial events and modem lines
    KSPIN_LOCK EventLock;           // taken before the cancel spin lock
    PIRP PendingWaitIrp;
    ULONG WaitMask;
    ULONG EventHistory;             // SERIAL_EV_* raised since last consumed
    UCHAR ModemControl;             // MODEM_CONTROL_* bits
    volatile ULONG ModemStatus;     // MODEM_STATUS_* bits
    SERIALPERF_STATS PerfStats;

    // 6. Serial settings
    ULONG InQueueSize;
    ULONG OutQueueSize;
    ULONG BaudRate;
    SERIAL_TIMEOUTS Timeouts;
    LONG ReadMode;                  // PORT_READ_MODE
    KTIMER ReadTotalTimer;
    KDPC ReadTotalTimerDpc;         // context: the port device object
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalTimerDpc;      // context: the port device object
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;       // XonLimit is RingHighLimit, XoffLimit is RingLowRoom
    SERIAL_STATUS CommStatus;       // AmountInOutQueue is OutQueueBytes, WaitForImmediate is ImmediateBusy
    KSPIN_LOCK StatusLock;          // guards CommStatus reads, ImmediateBusy and ModemControl changes

    // 7. Lower device and transmit pacing
    PDEVICE_OBJECT LowerDevice;
    KTIMER KickTimer;
    KDPC KickTimerDpc;              // context: the PORT_EXTENSION
    LARGE_INTEGER KickDelay;        // relative due time of KickTimer: 10 ms
    ULONG NoBaudCheck;
} PORT_EXTENSION, *PPORT_EXTENSION;

inline PPORT_EXTENSION PortExtension(PDEVICE_OBJECT DeviceObject)
{
    return (PPORT_EXTENSION)DeviceObject->DeviceExtension;
}

// The receive engine's flow-control limits are the XonLimit and XoffLimit of HandFlow: reception
// resumes once the ring holds RingHighLimit bytes or fewer, and pauses once its free space is
// RingLowRoom bytes or less.
// Both are kept between 0 and the ring size. The engines read them without a lock while a set-handflow
// request may change them: either the old or the new limit is right, so the accesses are marked.
inline ULONG RingHighLimit(const PORT_EXTENSION* Ext) { return (ULONG)ReadNoFence(&Ext->HandFlow.XonLimit); }
inline ULONG RingLowRoom(const PORT_EXTENSION* Ext) { return (ULONG)ReadNoFence(&Ext->HandFlow.XoffLimit); }
inline VOID SetRingLimits(PPORT_EXTENSION Ext, LONG HighLimit, LONG LowRoom)
{
    WriteNoFence(&Ext->HandFlow.XonLimit, HighLimit);
    WriteNoFence(&Ext->HandFlow.XoffLimit, LowRoom);
}

// Bytes of accepted writes not yet completed (plus one while an immediate character is on its
// way). Changed only by interlocked operations through this pointer.
inline volatile LONG* OutQueueBytes(PPORT_EXTENSION Ext)
{
    return (volatile LONG*)&Ext->CommStatus.AmountInOutQueue;
}

// The transmitted-bytes statistic, grown interlocked by the buffered transmitter.
inline volatile LONG* TransmittedCount(PPORT_EXTENSION Ext)
{
    return (volatile LONG*)&Ext->PerfStats.TransmittedCount;
}

inline BOOLEAN PortGone(const PORT_EXTENSION* Ext)
{
    return Ext->Removed || Ext->SurpriseRemoved;
}

// ---------------------------------------------------------------------------------------------
// Device and settings (driver.cpp).
// ---------------------------------------------------------------------------------------------
DRIVER_ENTRY DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI PortAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI PortUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI PortPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Event);
NTSTATUS ReadDeviceSetting(PDEVICE_OBJECT PhysicalDevice, PCWSTR ValueName, PULONG Value);

// ---------------------------------------------------------------------------------------------
// Naming and registration (naming.cpp).
// ---------------------------------------------------------------------------------------------
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice, PDEVICE_OBJECT* Device);
NTSTATUS NamePort(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadPortName(HANDLE Key, PWCHAR Destination);
VOID UnnamePort(PPORT_EXTENSION Ext);
VOID DeletePortDevice(PDEVICE_OBJECT DeviceObject);   // undoes CreatePortDevice

// ---------------------------------------------------------------------------------------------
// Ring buffer (ring.cpp). Every operation but RingInitialize takes the ring's lock; callable at
// IRQL up to DISPATCH_LEVEL. Lengths and results are byte counts.
// ---------------------------------------------------------------------------------------------
VOID RingInitialize(PRX_RING Ring);
NTSTATUS RingAllocate(PRX_RING Ring, ULONG Size);
NTSTATUS RingResize(PRX_RING Ring, ULONG NewSize);
VOID RingFree(PRX_RING Ring);
ULONG64 RingFlush(PRX_RING Ring);   // returns the bytes it dropped
SIZE_T RingPut(PRX_RING Ring, const UCHAR* Source, SIZE_T Length);
SIZE_T RingGet(PUCHAR Destination, PRX_RING Ring, SIZE_T Maximum);
ULONG64 RingCount(PRX_RING Ring);   // Count read under the lock

// ---------------------------------------------------------------------------------------------
// Lower channel to the pipe driver (lower.cpp). All but StartPipeRead wait, at PASSIVE_LEVEL.
// ---------------------------------------------------------------------------------------------
VOID PreparePipeHandle(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, PCWSTR Name);
NTSTATUS SendPipeOpenClose(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, BOOLEAN Open);
NTSTATUS SendPipeControl(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, ULONG IoControlCode);
NTSTATUS QueryPipePacketSize(PPORT_EXTENSION Ext, PPIPE_HANDLE Pipe, PULONG PacketSize);
NTSTATUS SendVendorCommand(PPORT_EXTENSION Ext, const UCHAR* Payload, USHORT Length);
// Starts an asynchronous read on Pipe; Completion (context: Ext) owns the request, its MDL and
// its freeing. When no request can be started, IdleEvent (the calling engine's) is signalled.
NTSTATUS StartPipeRead(PPORT_EXTENSION Ext, PVOID Buffer, ULONG Length, PPIPE_HANDLE Pipe,
                       PIO_COMPLETION_ROUTINE Completion, PKEVENT IdleEvent);
// The read that StartPipeRead sends, built but not sent (Buffer, Length and Pipe valid); NULL when
// no request can be allocated.
PIRP BuildPipeRead(PPORT_EXTENSION Ext, PVOID Buffer, ULONG Length, PPIPE_HANDLE Pipe,
                   PIO_COMPLETION_ROUTINE Completion);
NTSTATUS ReadPipeOnce(PPORT_EXTENSION Ext, PUCHAR Buffer);
// Addresses Irp's next stack location as IOCTL_PIPE_WRITE_BUFFERED of Length bytes on TxPipe; the
// data stays in the request's system buffer.
VOID SetPipeWrite(PPORT_EXTENSION Ext, PIRP Irp, ULONG Length);
// Frees a request that this driver built with IoBuildAsynchronousFsdRequest or IoAllocateIrp,
// with its MDLs (pages unlocked).
VOID FreePortIrp(PIRP Irp);

// ---------------------------------------------------------------------------------------------
// Open and close (open.cpp).
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI PortCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject);
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject);

// ---------------------------------------------------------------------------------------------
// Serial settings requests (ioctl.cpp, settings.cpp, linesettings.cpp).
// SerialDeviceControl sets Information to 0, refuses requests of a removed port where the code
// requires it and short buffers (STATUS_INVALID_PARAMETER) before any handler runs; every handler
// completes its request and returns its status.
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// With SettingsLock held.
NTSTATUS SendLineSettings(PDEVICE_OBJECT DeviceObject);
VOID AcquireSettingsLock(PPORT_EXTENSION Ext);
VOID ReleaseSettingsLock(PPORT_EXTENSION Ext);
NTSTATUS SendModemControl(PPORT_EXTENSION Ext);
VOID ChangeModemControl(PPORT_EXTENSION Ext, UCHAR Set, UCHAR Clear);   // ioctl.cpp, under StatusLock
NTSTATUS SendPortEnable(PPORT_EXTENSION Ext, UCHAR Enable);
NTSTATUS SendFlowChars(PPORT_EXTENSION Ext);
NTSTATUS SendErrorChar(PPORT_EXTENSION Ext);
NTSTATUS SendImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI ImmediateCharDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS ComputeReadMode(const SERIAL_TIMEOUTS* Timeouts, PLONG ReadMode);

// ---------------------------------------------------------------------------------------------
// Port lifecycle (pnp.cpp, power.cpp, lifecycle.cpp).
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI PortReadWriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PortFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StopEngines(PDEVICE_OBJECT DeviceObject);
// The port's passive locks (OpenCloseLock, SettingsLock): a synchronization event, signalled while
// free, taken and given back inside a critical region (its holder waits for the pipe driver and must
// not be suspended meanwhile).
VOID AcquirePassiveLock(PKEVENT Lock);
VOID ReleasePassiveLock(PKEVENT Lock);
VOID AcquireOpenCloseLock(PPORT_EXTENSION Ext);
VOID ReleaseOpenCloseLock(PPORT_EXTENSION Ext);
// Ends the pending wait-on-mask: with STATUS_SUCCESS and no events (cleanup), or with a failure
// status (the device has gone).
VOID CompletePendingWait(PPORT_EXTENSION Ext, NTSTATUS Status);
// Stops every engine, request and buffer of a port that is being removed; DeletePortDevice then
// takes the device itself away.
VOID TeardownPort(PDEVICE_OBJECT DeviceObject);
// An open port pauses (power-down, a PnP stop): engines and transmitter stop; reads, waits and the
// writes not yet on the wire stay pending. PASSIVE_LEVEL.
VOID PausePort(PDEVICE_OBJECT DeviceObject);
// The paused open port starts again on open pipes: the device is told its state again (port enable,
// the modem-control lines as they are, the line settings) and the engines and the transmitter run.
VOID RestartOpenPort(PDEVICE_OBJECT DeviceObject);
// Surprise removal: every read, write and wait the port holds ends at once with STATUS_DELETE_PENDING.
VOID EndRequestsOfGoneDevice(PDEVICE_OBJECT DeviceObject);
// Binding of the pipes below for an open port (open.cpp): opens and resets the transmit, receive and
// (when the device has one) status pipes; and their release.
NTSTATUS BindPipes(PPORT_EXTENSION Ext);
NTSTATUS ReleasePipes(PPORT_EXTENSION Ext);
// HandFlow's DTR and RTS fields show the lines on that open and power-up raise.
VOID ReflectRaisedLines(PPORT_EXTENSION Ext);
// The status pipe is used: the device has one, and this open could open it.
inline BOOLEAN HasStatusPipe(const PORT_EXTENSION* Ext)
{
    return Ext->EndPointCaps != 0 && Ext->CtlPollPeriod >= 0 && !Ext->StatusPipeMissing;
}

// A request made of several commands to the device fails with the first command that failed.
inline VOID KeepFirstFailure(NTSTATUS* Result, NTSTATUS Status)
{
    if (NT_SUCCESS(*Result) && !NT_SUCCESS(Status)) {
        *Result = Status;
    }
}

// Completes a request with a status and Information.
inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost = IO_NO_INCREMENT)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
    return Status;
}

#include "engines.h"
