// SerialDeviceControl: the port's device-control dispatch. One table gives, for every code the port
// knows, whether a removed port refuses it, the smallest input and output it accepts and its
// handler; the checks run here, before any handler sees the request.
#include "tarvelport.h"

namespace {

typedef NTSTATUS (*IOCTL_HANDLER)(PDEVICE_OBJECT DeviceObject, PIRP Irp);

struct IOCTL_ENTRY {
    ULONG Code;
    BOOLEAN RemovalCheck;
    ULONG MinInput;
    ULONG MinOutput;
    IOCTL_HANDLER Handler;
};

// --- helpers ---------------------------------------------------------------------------------

// Settable rates: the whole list of SET_BAUD_RATE (76800 has no bit), and the four of form A.
constexpr ULONG LIST_RATES = SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 |
                             SERIAL_BAUD_9600 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_115200;
constexpr ULONG FORM_A_RATES = SERIAL_BAUD_9600 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_115200;
static_assert(LIST_RATES == 0x00026B60, "the rates of the list");

inline PIO_STACK_LOCATION Stack(PIRP Irp) { return IoGetCurrentIrpStackLocation(Irp); }
inline PVOID Buffer(PIRP Irp) { return Irp->AssociatedIrp.SystemBuffer; }

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0, CCHAR Boost = IO_NO_INCREMENT)
{
    return CompleteRequest(Irp, Status, NT_SUCCESS(Status) ? Information : 0, Boost);
}

template <typename T> NTSTATUS ReturnValue(PIRP Irp, const T& Value)
{
    RtlCopyMemory(Buffer(Irp), &Value, sizeof(T));
    return Complete(Irp, STATUS_SUCCESS, sizeof(T));
}

// A GET copies its setting under SettingsLock, which every SET holds across its change and the
// device's update: the caller sees the record whole, as one SET left it, never parts of two.
template <typename T> NTSTATUS ReturnSetting(PDEVICE_OBJECT DeviceObject, PIRP Irp, const T& Setting)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    AcquireSettingsLock(Ext);
    T Copy = Setting;
    ReleaseSettingsLock(Ext);
    return ReturnValue(Irp, Copy);
}

// Sends ModemControl to the device when the device takes modem control (EndPointCaps nonzero).
NTSTATUS CompleteModemLines(PPORT_EXTENSION Ext, PIRP Irp)
{
    NTSTATUS Status = Ext->EndPointCaps ? SendModemControl(Ext) : STATUS_SUCCESS;
    return Complete(Irp, Status);
}

// --- handlers --------------------------------------------------------------------------------

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP Irp)
{
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS SetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    ULONG Rate = *(PULONG)Buffer(Irp);
    if (!Ext->NoBaudCheck) {
        static const ULONG Accepted[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
        BOOLEAN Found = FALSE;
        for (ULONG Candidate : Accepted) {
            Found |= Candidate == Rate;
        }
        if (!Found) {
            return Complete(Irp, STATUS_INVALID_PARAMETER);
        }
    }
    AcquireSettingsLock(Ext);
    Ext->BaudRate = Rate;
    NTSTATUS Status = SendLineSettings(DeviceObject);
    ReleaseSettingsLock(Ext);
    return Complete(Irp, Status);
}

NTSTATUS GetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    SERIAL_BAUD_RATE Rate;
    AcquireSettingsLock(Ext);   // as ReturnSetting
    Rate.BaudRate = Ext->BaudRate;
    ReleaseSettingsLock(Ext);
    return ReturnValue(Irp, Rate);
}

NTSTATUS SetQueueSize(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    SERIAL_QUEUE_SIZE Sizes = *(PSERIAL_QUEUE_SIZE)Buffer(Irp);

    // Under OpenCloseLock, as a receive purge: a stop that joins another's must not outlive its restart.
    AcquireOpenCloseLock(Ext);
    NTSTATUS Status = StopReceive(Ext);
    if (!NT_SUCCESS(Status)) {
        ReleaseOpenCloseLock(Ext);
        return Complete(Irp, Status);
    }
    NTSTATUS Resized = STATUS_SUCCESS;
    if (Sizes.InSize > Ext->InQueueSize) {
        Resized = RingResize(&Ext->RxRing, Sizes.InSize);
    }
    Ext->InQueueSize = (ULONG)Ext->RxRing.Size;
    Ext->OutQueueSize = Sizes.OutSize;

    KeClearEvent(&Ext->RxIdleEvent);
    StartReceive(Ext);
    ReleaseOpenCloseLock(Ext);
    return Complete(Irp, Resized);
}

NTSTATUS SetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    auto Line = (PSERIAL_LINE_CONTROL)Buffer(Irp);
    if (!Line || (Line->StopBits != STOP_BIT_1 && Line->StopBits != STOP_BITS_2) || Line->Parity > EVEN_PARITY ||
        (Line->WordLength != 7 && Line->WordLength != 8)) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    AcquireSettingsLock(Ext);
    Ext->LineControl = *Line;
    NTSTATUS Status = SendLineSettings(DeviceObject);
    ReleaseSettingsLock(Ext);
    return Complete(Irp, Status);
}

NTSTATUS GetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReturnSetting(DeviceObject, Irp, PortExtension(DeviceObject)->LineControl);
}

NTSTATUS SetBreak(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if (Ext->EndPointCaps != 2) {
        return Complete(Irp, STATUS_SUCCESS);
    }
    if (Stack(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_BREAK_ON) {
        ChangeModemControl(Ext, MODEM_CONTROL_BREAK, 0);
    } else {
        ChangeModemControl(Ext, 0, MODEM_CONTROL_BREAK);
    }
    return Complete(Irp, SendModemControl(Ext));
}

NTSTATUS SetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    SERIAL_TIMEOUTS Timeouts = *(PSERIAL_TIMEOUTS)Buffer(Irp);
    LONG ReadMode;
    NTSTATUS Status = ComputeReadMode(&Timeouts, &ReadMode);
    if (!NT_SUCCESS(Status)) {
        return Complete(Irp, Status);
    }

    // Each half under the lock its readers hold: the read timeouts under the cancel spin lock (the
    // read path), the write timeouts under WriteLock (the transmitters' timers).
    AcquireSettingsLock(Ext);
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    Ext->ReadMode = ReadMode;
    Ext->Timeouts.ReadIntervalTimeout = Timeouts.ReadIntervalTimeout;
    Ext->Timeouts.ReadTotalTimeoutMultiplier = Timeouts.ReadTotalTimeoutMultiplier;
    Ext->Timeouts.ReadTotalTimeoutConstant = Timeouts.ReadTotalTimeoutConstant;
    StartReadTotalTimer(Ext);   // the new values apply to the read in progress
    IoReleaseCancelSpinLock(CancelIrql);
    KIRQL Irql;
    KeAcquireSpinLock(&Ext->WriteLock, &Irql);
    Ext->Timeouts.WriteTotalTimeoutMultiplier = Timeouts.WriteTotalTimeoutMultiplier;
    Ext->Timeouts.WriteTotalTimeoutConstant = Timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&Ext->WriteLock, Irql);
    ReleaseSettingsLock(Ext);
    return Complete(Irp, STATUS_SUCCESS);
}

NTSTATUS GetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReturnSetting(DeviceObject, Irp, PortExtension(DeviceObject)->Timeouts);
}

NTSTATUS SetDtr(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    // The handshake mode is read as it stands: a handflow change racing this request orders either way.
    if ((ReadULongNoFence(&Ext->HandFlow.ControlHandShake) & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    if (Stack(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_DTR) {
        ChangeModemControl(Ext, MODEM_CONTROL_DTR, 0);
    } else {
        ChangeModemControl(Ext, 0, MODEM_CONTROL_DTR);
    }
    return CompleteModemLines(Ext, Irp);
}

NTSTATUS SetRts(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    if ((ReadULongNoFence(&Ext->HandFlow.FlowReplace) & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    if (Stack(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_RTS) {
        ChangeModemControl(Ext, MODEM_CONTROL_RTS, 0);
    } else {
        ChangeModemControl(Ext, 0, MODEM_CONTROL_RTS);
    }
    return CompleteModemLines(Ext, Irp);
}

NTSTATUS SetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    AcquireSettingsLock(Ext);
    Ext->Chars = *(PSERIAL_CHARS)Buffer(Irp);
    NTSTATUS Status = SendFlowChars(Ext);
    KeepFirstFailure(&Status, SendErrorChar(Ext));
    ReleaseSettingsLock(Ext);
    return Complete(Irp, Status);
}

NTSTATUS GetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReturnSetting(DeviceObject, Irp, PortExtension(DeviceObject)->Chars);
}

NTSTATUS SetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    auto Flow = (PSERIAL_HANDFLOW)Buffer(Irp);
    if ((Flow->ControlHandShake & SERIAL_CONTROL_INVALID) || (Flow->FlowReplace & SERIAL_FLOW_INVALID) ||
        Flow->XonLimit < 0 || (ULONG)Flow->XonLimit > Ext->InQueueSize || Flow->XoffLimit < 0 ||
        (ULONG)Flow->XoffLimit > Ext->InQueueSize) {
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    AcquireSettingsLock(Ext);
    BOOLEAN ErrorCharChanged = ((Ext->HandFlow.FlowReplace ^ Flow->FlowReplace) & SERIAL_ERROR_CHAR) != 0;
    Ext->HandFlow.ControlHandShake = Flow->ControlHandShake;
    Ext->HandFlow.FlowReplace = Flow->FlowReplace;
    SetRingLimits(Ext, Flow->XonLimit, Flow->XoffLimit);
    NTSTATUS Status = SendLineSettings(DeviceObject);
    // The error replacement is a handflow setting that the device learns with the error character;
    // variant 3 sends it with the line settings, the others here, so that one SetCommState (whose
    // special characters come before its handflow) leaves the device as asked.
    if (ErrorCharChanged && Ext->EndPointCaps != 3) {
        KeepFirstFailure(&Status, SendErrorChar(Ext));
    }
    ReleaseSettingsLock(Ext);
    return Complete(Irp, Status);
}

NTSTATUS GetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReturnSetting(DeviceObject, Irp, PortExtension(DeviceObject)->HandFlow);
}

NTSTATUS GetProperties(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    SERIAL_COMMPROP Properties;
    RtlZeroMemory(&Properties, sizeof(Properties));
    Properties.PacketLength = sizeof(SERIAL_COMMPROP);
    Properties.PacketVersion = 2;
    Properties.ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties.MaxBaud = SERIAL_BAUD_115200;
    Properties.ProvSubType = SERIAL_SP_RS232;
    Properties.ProvCapabilities = 0x000000F7;
    Properties.SettableParams = 0x0000005F;
    // Exactly the rates this port's protocol variant can set: variants 1 and 2 encode four of them;
    // variant 3 every rate of the list but 76800, which has no bit of its own; variant 0 tells the
    // device nothing, so with NoBaudCheck any rate is stored (SERIAL_BAUD_USER).
    Properties.SettableBaud = (Ext->EndPointCaps == 1 || Ext->EndPointCaps == 2) ? FORM_A_RATES : LIST_RATES;
    if (Ext->EndPointCaps == 0 && Ext->NoBaudCheck) {
        Properties.SettableBaud |= SERIAL_BAUD_USER;
    }
    Properties.SettableData = 0x000C;
    Properties.SettableStopParity = 0x0705;
    Properties.CurrentTxQueue = Ext->OutQueueSize;
    Properties.CurrentRxQueue = Ext->InQueueSize;
    return ReturnValue(Irp, Properties);
}

// DTR and RTS in the modem control register's encoding (also that of GET_DTRRTS).
ULONG ModemControlRegister(const PORT_EXTENSION* Ext)
{
    const UCHAR Control = ReadUCharNoFence(&Ext->ModemControl);   // one line's change is atomic
    return ((Control & MODEM_CONTROL_RTS) ? SERIAL_IOC_MCR_RTS : 0) |
           ((Control & MODEM_CONTROL_DTR) ? SERIAL_IOC_MCR_DTR : 0);
}

NTSTATUS GetDtrRts(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ReturnValue(Irp, ModemControlRegister(PortExtension(DeviceObject)));
}

NTSTATUS GetModemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ULONG Register = ModemControlRegister(PortExtension(DeviceObject));
    RtlCopyMemory(Buffer(Irp), &Register, sizeof(Register));
    return Complete(Irp, STATUS_SUCCESS, sizeof(Register), IO_SERIAL_INCREMENT);
}

NTSTATUS SetModemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    ULONG Register = *(PULONG)Buffer(Irp);
    UCHAR Control = 0;
    if (Register & SERIAL_IOC_MCR_RTS) {
        Control |= MODEM_CONTROL_RTS;
    }
    if (Register & SERIAL_IOC_MCR_DTR) {
        Control |= MODEM_CONTROL_DTR;
    }
    ChangeModemControl(Ext, Control, MODEM_CONTROL_RTS | MODEM_CONTROL_DTR);
    return Complete(Irp, SendModemControl(Ext), 0, IO_SERIAL_INCREMENT);
}

NTSTATUS ConfigSize(PDEVICE_OBJECT, PIRP Irp)
{
    return ReturnValue(Irp, (ULONG)0);
}

// The private pipe resets go down as the pipe driver's own reset on the named pipe.
NTSTATUS ResetPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    BOOLEAN Receive = Stack(Irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_PORT_RESET_RX_PIPE;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->Control = 0;
    Next->FileObject = Receive ? &Ext->RxPipe.FileObject : &Ext->TxPipe.FileObject;
    Next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_RESET_PIPE;
    return IoCallDriver(Ext->LowerDevice, Irp);
}

const IOCTL_ENTRY IoctlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, TRUE, sizeof(SERIAL_BAUD_RATE), 0, SetBaudRate},
    // The queue sizes are an 8-byte record; a shorter input is refused like any short buffer.
    {IOCTL_SERIAL_SET_QUEUE_SIZE, TRUE, sizeof(SERIAL_QUEUE_SIZE), 0, SetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, TRUE, sizeof(SERIAL_LINE_CONTROL), 0, SetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON, TRUE, 0, 0, SetBreak},
    {IOCTL_SERIAL_SET_BREAK_OFF, TRUE, 0, 0, SetBreak},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, FALSE, sizeof(UCHAR), 0, SendImmediateChar},
    {IOCTL_SERIAL_SET_TIMEOUTS, TRUE, sizeof(SERIAL_TIMEOUTS), 0, SetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, TRUE, 0, sizeof(SERIAL_TIMEOUTS), GetTimeouts},
    {IOCTL_SERIAL_SET_DTR, TRUE, 0, 0, SetDtr},
    {IOCTL_SERIAL_CLR_DTR, TRUE, 0, 0, SetDtr},
    {IOCTL_SERIAL_RESET_DEVICE, FALSE, 0, 0, Succeed},
    {IOCTL_SERIAL_SET_RTS, TRUE, 0, 0, SetRts},
    {IOCTL_SERIAL_CLR_RTS, TRUE, 0, 0, SetRts},
    {IOCTL_SERIAL_SET_XOFF, FALSE, 0, 0, Succeed},
    {IOCTL_SERIAL_SET_XON, FALSE, 0, 0, Succeed},
    {IOCTL_SERIAL_GET_WAIT_MASK, FALSE, 0, sizeof(ULONG), SerialGetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, FALSE, sizeof(ULONG), 0, SerialSetWaitMask},
    // The wait's result and the purge mask are 32-bit values; shorter buffers are refused.
    {IOCTL_SERIAL_WAIT_ON_MASK, TRUE, 0, sizeof(ULONG), SerialWaitOnMask},
    {IOCTL_SERIAL_PURGE, FALSE, sizeof(ULONG), 0, SerialPurge},
    {IOCTL_SERIAL_GET_BAUD_RATE, TRUE, 0, sizeof(SERIAL_BAUD_RATE), GetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, TRUE, 0, sizeof(SERIAL_LINE_CONTROL), GetLineControl},
    {IOCTL_SERIAL_GET_CHARS, TRUE, 0, sizeof(SERIAL_CHARS), GetChars},
    {IOCTL_SERIAL_SET_CHARS, TRUE, sizeof(SERIAL_CHARS), 0, SetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, TRUE, 0, sizeof(SERIAL_HANDFLOW), GetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, TRUE, sizeof(SERIAL_HANDFLOW), 0, SetHandFlow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, FALSE, 0, sizeof(ULONG), SerialGetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, TRUE, 0, sizeof(SERIAL_STATUS), SerialGetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER, FALSE, 0, 0, Succeed},
    {IOCTL_SERIAL_GET_PROPERTIES, TRUE, 0, sizeof(SERIAL_COMMPROP), GetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, TRUE, 0, sizeof(ULONG), GetDtrRts},
    {IOCTL_SERIAL_LSRMST_INSERT, FALSE, 0, 0, Succeed},
    {IOCTL_SERIAL_CONFIG_SIZE, FALSE, 0, sizeof(ULONG), ConfigSize},
    {IOCTL_SERIAL_GET_STATS, TRUE, 0, sizeof(SERIALPERF_STATS), SerialGetStats},
    {IOCTL_SERIAL_CLEAR_STATS, FALSE, 0, 0, SerialClearStats},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, TRUE, 0, sizeof(ULONG), GetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, TRUE, sizeof(ULONG), 0, SetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, FALSE, 0, 0, Succeed},
    {IOCTL_PORT_RESET_RX_PIPE, TRUE, 0, 0, ResetPipe},
    {IOCTL_PORT_RESET_TX_PIPE, TRUE, 0, 0, ResetPipe},
};

static_assert(sizeof(SERIAL_TIMEOUTS) == 20 && sizeof(SERIAL_HANDFLOW) == 16 && sizeof(SERIAL_CHARS) == 6 &&
                  sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_STATUS) == 20 &&
                  sizeof(SERIALPERF_STATS) == 24 && sizeof(SERIAL_COMMPROP) == 64 && sizeof(SERIAL_QUEUE_SIZE) == 8,
              "serial records in their published layouts");

} // namespace

NTSTATUS ComputeReadMode(const SERIAL_TIMEOUTS* Timeouts, PLONG ReadMode)
{
    ULONG Interval = Timeouts->ReadIntervalTimeout;
    ULONG Multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG Constant = Timeouts->ReadTotalTimeoutConstant;

    if (Interval == MAXULONG && Multiplier == MAXULONG && Constant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Interval == MAXULONG && Multiplier == 0 && Constant == 0) {
        *ReadMode = ReadModeImmediate;
    } else if (Interval == MAXULONG && Multiplier == MAXULONG && Constant > 0) {
        *ReadMode = ReadModeFirstByte;
    } else if (Interval == 0 && Multiplier == 0 && Constant == 0) {
        *ReadMode = ReadModeNoTimeout;
    } else {
        *ReadMode = ReadModeTimed;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);
    PIO_STACK_LOCATION IrpStack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = IrpStack->Parameters.DeviceIoControl.IoControlCode;
    Irp->IoStatus.Information = 0;

    for (const IOCTL_ENTRY& Entry : IoctlTable) {
        if (Entry.Code != Code) {
            continue;
        }
        if (Entry.RemovalCheck && PortGone(Ext)) {
            return Complete(Irp, STATUS_DELETE_PENDING);
        }
        if (IrpStack->Parameters.DeviceIoControl.InputBufferLength < Entry.MinInput ||
            IrpStack->Parameters.DeviceIoControl.OutputBufferLength < Entry.MinOutput ||
            ((Entry.MinInput || Entry.MinOutput) && !Irp->AssociatedIrp.SystemBuffer)) {
            return Complete(Irp, STATUS_INVALID_PARAMETER);
        }
        return Entry.Handler(DeviceObject, Irp);
    }
    return Complete(Irp, STATUS_NOT_SUPPORTED);
}

// The immediate character goes down on the application's own request, ahead of queued writes.
NTSTATUS SendImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Ext = PortExtension(DeviceObject);

    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->StatusLock, &OldIrql);
    if (Ext->CommStatus.WaitForImmediate) {
        KeReleaseSpinLock(&Ext->StatusLock, OldIrql);
        return Complete(Irp, STATUS_INVALID_PARAMETER);
    }
    Ext->CommStatus.WaitForImmediate = TRUE;
    KeReleaseSpinLock(&Ext->StatusLock, OldIrql);

    IoMarkIrpPending(Irp);
    SetPipeWrite(Ext, Irp, sizeof(UCHAR));
    InterlockedIncrement(OutQueueBytes(Ext));
    IoSetCompletionRoutine(Irp, ImmediateCharDone, Ext, TRUE, TRUE, TRUE);
    IoCallDriver(Ext->LowerDevice, Irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI ImmediateCharDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    auto Ext = (PPORT_EXTENSION)Context;

    // The request has no output: the byte the device below counts as written must not be copied back
    // into the caller's output buffer, which may have no room for it.
    Irp->IoStatus.Information = 0;

    KIRQL OldIrql;
    KeAcquireSpinLock(&Ext->StatusLock, &OldIrql);
    Ext->CommStatus.WaitForImmediate = FALSE;
    KeReleaseSpinLock(&Ext->StatusLock, OldIrql);

    InterlockedDecrement(OutQueueBytes(Ext));
    if (OutQueueAmount(Ext) == 0) {   // nothing else waits to go out either
        RaiseEvents(Ext->Self, SERIAL_EV_TXEMPTY);
        CompleteWait(Ext->Self);
    }
    return STATUS_CONTINUE_COMPLETION;
}
