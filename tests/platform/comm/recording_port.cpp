#include "recording_port.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tarvel/io.h"

namespace commtest {

namespace {

struct Extension {
    RecordingPort* port;
};

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

UNICODE_STRING Text(const WCHAR* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

} // namespace

RecordingPort::RecordingPort() {
    tarvel::io::InitializeDriverObject(&driver_, "RecordingPort");
    for (auto& f : driver_.MajorFunction) f = Dispatch;
    UNICODE_STRING name = Text(L"\\Device\\RecordingPort");
    EXPECT_EQ(IoCreateDevice(&driver_, sizeof(Extension), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device_),
              STATUS_SUCCESS);
    static_cast<Extension*>(device_->DeviceExtension)->port = this;
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    UNICODE_STRING link = Text(L"\\DosDevices\\COM9");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
}

RecordingPort::~RecordingPort() {
    UNICODE_STRING link = Text(L"\\DosDevices\\COM9");
    IoDeleteSymbolicLink(&link);
    if (device_ != nullptr) IoDeleteDevice(device_);
}

std::vector<ULONG> RecordingPort::Codes() const {
    std::vector<ULONG> codes;
    for (const Request& r : requests) codes.push_back(r.code);
    return codes;
}

bool RecordingPort::CompleteWait(ULONG events) {
    PIRP irp = pendingWait_;
    if (irp == nullptr || IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    pendingWait_ = nullptr;
    *static_cast<PULONG>(irp->AssociatedIrp.SystemBuffer) = events;
    Finish(irp, STATUS_SUCCESS, sizeof(ULONG));
    return true;
}

VOID RecordingPort::CancelWait(PDEVICE_OBJECT device, PIRP irp) {
    RecordingPort* port = static_cast<Extension*>(device->DeviceExtension)->port;
    if (port->pendingWait_ == irp) port->pendingWait_ = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Finish(irp, STATUS_CANCELLED);
}

NTSTATUS RecordingPort::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    RecordingPort* port = static_cast<Extension*>(device->DeviceExtension)->port;
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) return port->Control(irp);
    return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS RecordingPort::Control(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void* buffer = irp->AssociatedIrp.SystemBuffer;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    requests.push_back({code, std::vector<std::uint8_t>(in, in + (buffer != nullptr ? inLength : 0)), outLength});

    if (auto f = failures.find(code); f != failures.end()) return Finish(irp, f->second);

    auto get = [&](const auto& record) {
        ULONG size = sizeof(record);
        if (auto s = shortAnswers.find(code); s != shortAnswers.end()) size = std::min(size, s->second);
        if (outLength < sizeof(record)) return Finish(irp, STATUS_BUFFER_TOO_SMALL);
        std::memcpy(buffer, &record, size);
        return Finish(irp, STATUS_SUCCESS, size);
    };
    auto set = [&](auto& record) {
        if (inLength < sizeof(record)) return Finish(irp, STATUS_INVALID_PARAMETER);
        std::memcpy(&record, buffer, sizeof(record));
        return Finish(irp, STATUS_SUCCESS);
    };
    const bool rtsHandshake = (handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
    const bool dtrHandshake = (handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
    auto modemLine = [&](bool& state, bool value, bool handshake) {
        if (handshake) return Finish(irp, STATUS_INVALID_PARAMETER);
        state = value;
        return Finish(irp, STATUS_SUCCESS);
    };

    switch (code) {
    case IOCTL_SERIAL_GET_BAUD_RATE: return get(baud);
    case IOCTL_SERIAL_SET_BAUD_RATE: return set(baud);
    case IOCTL_SERIAL_GET_LINE_CONTROL: return get(line);
    case IOCTL_SERIAL_SET_LINE_CONTROL: return set(line);
    case IOCTL_SERIAL_GET_CHARS: return get(chars);
    case IOCTL_SERIAL_SET_CHARS: return set(chars);
    case IOCTL_SERIAL_GET_HANDFLOW: return get(handflow);
    case IOCTL_SERIAL_SET_HANDFLOW: return set(handflow);
    case IOCTL_SERIAL_GET_TIMEOUTS: return get(timeouts);
    case IOCTL_SERIAL_SET_TIMEOUTS: return set(timeouts);
    case IOCTL_SERIAL_GET_WAIT_MASK: return get(waitMask);
    case IOCTL_SERIAL_SET_WAIT_MASK: return set(waitMask);
    case IOCTL_SERIAL_GET_COMMSTATUS: return get(status);
    case IOCTL_SERIAL_GET_MODEMSTATUS: return get(modemStatus);
    case IOCTL_SERIAL_PURGE: return set(purged);
    case IOCTL_SERIAL_SET_QUEUE_SIZE: return set(queueSize);
    case IOCTL_SERIAL_SET_RTS: return modemLine(rts, true, rtsHandshake);
    case IOCTL_SERIAL_CLR_RTS: return modemLine(rts, false, rtsHandshake);
    case IOCTL_SERIAL_SET_DTR: return modemLine(dtr, true, dtrHandshake);
    case IOCTL_SERIAL_CLR_DTR: return modemLine(dtr, false, dtrHandshake);
    case IOCTL_SERIAL_SET_BREAK_ON: breakOn = true; return Finish(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_SET_BREAK_OFF: breakOn = false; return Finish(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_RESET_DEVICE: return Finish(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (inLength < 1) return Finish(irp, STATUS_INVALID_PARAMETER);
        immediate.push_back(in[0]);
        return Finish(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_GET_PROPERTIES: {
        if (outLength < sizeof(SERIAL_COMMPROP)) return Finish(irp, STATUS_BUFFER_TOO_SMALL);
        SERIAL_COMMPROP p{};
        p.PacketLength = sizeof(SERIAL_COMMPROP);
        p.PacketVersion = 2;
        p.ServiceMask = SERIAL_SP_SERIALCOMM;
        p.MaxBaud = SERIAL_BAUD_115200;
        p.CurrentTxQueue = queueSize.OutSize;
        p.CurrentRxQueue = queueSize.InSize;
        std::memset(buffer, 0xA5, outLength); // what lies beyond the record shows how far the copy reached
        std::memcpy(buffer, &p, sizeof p);
        return Finish(irp, STATUS_SUCCESS, outLength);
    }
    case IOCTL_SERIAL_WAIT_ON_MASK: {
        if (outLength < sizeof(ULONG) || waitMask == 0 || pendingWait_ != nullptr)
            return Finish(irp, STATUS_INVALID_PARAMETER);
        IoMarkIrpPending(irp);
        pendingWait_ = irp;
        (void)IoSetCancelRoutine(irp, CancelWait);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            pendingWait_ = nullptr;
            Finish(irp, STATUS_CANCELLED);
        }
        return STATUS_PENDING;
    }
    default: return Finish(irp, STATUS_NOT_SUPPORTED);
    }
}

} // namespace commtest
