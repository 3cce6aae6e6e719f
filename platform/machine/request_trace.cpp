// The tracer stands in front of the dispatch routines of tarvelpipe and of the bus driver. A request
// that reaches one of them is reported, and the completion routine that its sender put into the
// location is swapped for a watcher that reports the completion and then behaves exactly as the
// location would have without it: it calls the sender's routine when that routine's invoke flags ask
// for it, and otherwise carries a pending return up, as the I/O manager does for a location without a
// routine.
#include "tarvel/machine/request_trace.h"

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include <cstdio>
#include <map>
#include <stdexcept>

#include "pipeioctl.h"
#include "tarvel/machine/request_names.h"
#include "tarvel/pnp.h"
#include "text.h"

namespace tarvel::machine {

namespace {

struct Hook {
    std::string name;   // the driver the requests go to
    std::string caller; // the driver that sends them
    PDRIVER_DISPATCH original[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    PDRIVER_ADD_DEVICE addDevice = nullptr;
};

// What the watcher needs at completion; the location itself has been cleared by then.
struct Watch {
    std::uint64_t number = 0;
    std::string to, from; // the hop, kept here: the hook may be gone when a late completion arrives
    PIO_COMPLETION_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    UCHAR invoke = 0;
    UCHAR major = 0;
    ULONG code = 0;
    PURB urb = nullptr;
};

struct TraceState {
    RequestTraceSink sink;
    std::map<PDRIVER_OBJECT, Hook> hooks;
    std::map<std::uint64_t, Watch> watches;          // by number: the watcher's context
    std::map<USBD_PIPE_HANDLE, UCHAR> endpoints;     // from completed select-configuration requests
    std::uint64_t next = 0;
    PDRIVER_OBJECT pipeDriver = nullptr;
    bool pipeLoadedHere = false;
};

TraceState& State() {
    static TraceState state;
    return state;
}

constexpr UCHAR kInvokeAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

std::string Bytes(const void* data, ULONG length, ULONG most = 8) {
    if (data == nullptr || length == 0) return "[]";
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::string text = "[";
    for (ULONG i = 0; i < length && i < most; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X", p[i]);
        text += (i ? " " : "") + std::string(b);
    }
    return text + (length > most ? " ...]" : "]");
}

std::string EndpointOf(USBD_PIPE_HANDLE pipe) {
    const auto& endpoints = State().endpoints;
    auto found = endpoints.find(pipe);
    if (found == endpoints.end()) return "pipe " + Hex(reinterpret_cast<std::uintptr_t>(pipe), 1);
    return "ep " + Hex(found->second, 2);
}

const void* TransferData(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) return buffer;
    return mdl != nullptr ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

std::string DescribeUrb(const URB* urb) {
    if (urb == nullptr) return "SUBMIT_URB (no URB)";
    const USHORT function = urb->UrbHeader.Function;
    std::string text = UrbFunctionName(function);
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        const auto& t = urb->UrbBulkOrInterruptTransfer;
        text += " " + EndpointOf(t.PipeHandle) + ((t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? " IN " : " OUT ") +
                std::to_string(t.TransferBufferLength);
        if (!(t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) && t.TransferBufferLength == 0) text += " (zero-length packet)";
        break;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: text += " " + EndpointOf(urb->UrbPipeRequest.PipeHandle); break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        text += " type " + std::to_string(urb->UrbControlDescriptorRequest.DescriptorType) + ", " +
                std::to_string(urb->UrbControlDescriptorRequest.TransferBufferLength) + " bytes";
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (urb->UrbSelectConfiguration.ConfigurationDescriptor == nullptr) text += " (none: unconfigure)";
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE: {
        const auto& c = urb->UrbControlVendorClassRequest;
        const bool in = (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        text += " request " + Hex(c.Request, 2) + (in ? " IN " : " OUT ") + std::to_string(c.TransferBufferLength);
        if (!in) text += " " + Bytes(TransferData(c.TransferBuffer, c.TransferBufferMDL), c.TransferBufferLength);
        break;
    }
    default: break;
    }
    return text;
}

std::string FileNameOf(PFILE_OBJECT file) {
    if (file == nullptr || file->FileName.Length == 0) return {};
    return " " + Narrow(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
}

std::string DescribeControl(ULONG code, PIRP irp, PIO_STACK_LOCATION s) {
    const ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
    std::string text = ControlCodeName(code) + FileNameOf(s->FileObject);
    const auto* buffer = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (code == IOCTL_PIPE_CONTROL_TRANSFER && buffer != nullptr && in > PIPE_SETUP_PACKET_LENGTH) {
        // Setup packet first, then the data stage; the adapter's vendor commands start with their code.
        const ULONG data = in - PIPE_SETUP_PACKET_LENGTH;
        text += " request " + Hex(buffer[1], 2);
        if (buffer[1] == 0x0B) text += " " + VendorCommandName(buffer[PIPE_SETUP_PACKET_LENGTH]);
        text += " " + Bytes(buffer + PIPE_SETUP_PACKET_LENGTH, data);
        return text;
    }
    if (in != 0) text += " in " + std::to_string(in);
    if (out != 0) text += " out " + std::to_string(out);
    return text;
}

std::string PowerState(PIO_STACK_LOCATION s) {
    if (s->Parameters.Power.Type == SystemPowerState)
        return " S" + std::to_string(static_cast<int>(s->Parameters.Power.State.SystemState) - 1);
    return " D" + std::to_string(static_cast<int>(s->Parameters.Power.State.DeviceState) - 1);
}

std::string DescribeSent(PIRP irp, PIO_STACK_LOCATION s) {
    switch (s->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP: return MajorFunctionName(s->MajorFunction) + FileNameOf(s->FileObject);
    case IRP_MJ_READ: return "READ" + FileNameOf(s->FileObject) + " " + std::to_string(s->Parameters.Read.Length);
    case IRP_MJ_WRITE: return "WRITE" + FileNameOf(s->FileObject) + " " + std::to_string(s->Parameters.Write.Length);
    case IRP_MJ_DEVICE_CONTROL: return DescribeControl(s->Parameters.DeviceIoControl.IoControlCode, irp, s);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        const ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) return DescribeUrb(static_cast<const URB*>(s->Parameters.Others.Argument1));
        return ControlCodeName(code);
    }
    case IRP_MJ_PNP: return "PNP " + PnpMinorName(s->MinorFunction);
    case IRP_MJ_POWER: {
        std::string text = "POWER " + PowerMinorName(s->MinorFunction);
        if (s->MinorFunction == IRP_MN_SET_POWER || s->MinorFunction == IRP_MN_QUERY_POWER) text += PowerState(s);
        return text;
    }
    default: return MajorFunctionName(s->MajorFunction);
    }
}

// A completed select-configuration tells which pipe handle is which endpoint.
void LearnPipes(const URB* urb) {
    const auto& select = urb->UrbSelectConfiguration;
    if (select.ConfigurationDescriptor == nullptr) return;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(&select.Interface);
    const auto* end = reinterpret_cast<const std::uint8_t*>(urb) + urb->UrbHeader.Length;
    while (begin + sizeof(USBD_INTERFACE_INFORMATION) <= end) {
        const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(begin);
        if (info->Length < sizeof(USBD_INTERFACE_INFORMATION) || begin + info->Length > end) return;
        const ULONG room = 1 + (info->Length - sizeof(USBD_INTERFACE_INFORMATION)) / sizeof(USBD_PIPE_INFORMATION);
        for (ULONG i = 0; i < info->NumberOfPipes && i < room; ++i)
            State().endpoints[info->Pipes[i].PipeHandle] = info->Pipes[i].EndpointAddress;
        begin += info->Length;
    }
}

std::string ByteCount(std::uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string DescribeCompletion(const Watch& watch, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    std::string text = "-> " + StatusName(status);
    if (watch.urb != nullptr) {
        const URB* urb = watch.urb;
        if (urb->UrbHeader.Status != 0) text += ", USBD " + Hex(static_cast<ULONG>(urb->UrbHeader.Status));
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            text += ", " + ByteCount(urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            if (NT_SUCCESS(status)) LearnPipes(urb);
            break;
        default: break;
        }
        return text;
    }
    if (watch.major == IRP_MJ_READ || watch.major == IRP_MJ_WRITE || watch.major == IRP_MJ_DEVICE_CONTROL) {
        if (irp->IoStatus.Information != 0) text += ", " + ByteCount(irp->IoStatus.Information);
    }
    return text;
}

void Emit(const std::string& to, const std::string& from, std::uint64_t number, bool completion, std::string what) {
    TraceState& state = State();
    if (!state.sink) return;
    TracedRequest r;
    r.time = kernel::Now();
    r.number = number;
    r.from = from;
    r.to = to;
    r.completion = completion;
    r.what = std::move(what);
    state.sink(r);
}

NTSTATUS NTAPI WatchCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    TraceState& state = State();
    auto found = state.watches.find(reinterpret_cast<std::uintptr_t>(context));
    if (found == state.watches.end()) return STATUS_CONTINUE_COMPLETION; // cannot happen: every watch is known
    const Watch watch = found->second;
    state.watches.erase(found);
    Emit(watch.to, watch.from, watch.number, true, DescribeCompletion(watch, irp));
    const NTSTATUS status = irp->IoStatus.Status;
    const bool invoke = (NT_SUCCESS(status) && (watch.invoke & SL_INVOKE_ON_SUCCESS)) ||
                        (!NT_SUCCESS(status) && (watch.invoke & SL_INVOKE_ON_ERROR)) ||
                        (irp->Cancel && (watch.invoke & SL_INVOKE_ON_CANCEL));
    if (watch.routine != nullptr && invoke) return watch.routine(device, irp, watch.context);
    if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI TracedDispatch(PDEVICE_OBJECT device, PIRP irp) {
    TraceState& state = State();
    const Hook& hook = state.hooks.at(device->DriverObject);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const PDRIVER_DISPATCH original = hook.original[s->MajorFunction];
    if (state.sink) {
        Watch watch;
        watch.number = ++state.next;
        watch.to = hook.name;
        watch.from = hook.caller;
        watch.routine = s->CompletionRoutine;
        watch.context = s->Context;
        watch.invoke = s->CompletionRoutine != nullptr ? static_cast<UCHAR>(s->Control & kInvokeAll) : 0;
        watch.major = s->MajorFunction;
        if (s->MajorFunction == IRP_MJ_DEVICE_CONTROL || s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            watch.code = s->Parameters.DeviceIoControl.IoControlCode;
        if (s->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && watch.code == IOCTL_INTERNAL_USB_SUBMIT_URB)
            watch.urb = static_cast<PURB>(s->Parameters.Others.Argument1);
        Emit(watch.to, watch.from, watch.number, false, DescribeSent(irp, s));
        state.watches[watch.number] = watch;
        s->CompletionRoutine = WatchCompletion;
        s->Context = reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(watch.number));
        s->Control = static_cast<UCHAR>((s->Control & ~kInvokeAll) | kInvokeAll);
    }
    return original(device, irp);
}

void HookDriver(PDRIVER_OBJECT driver, std::string name, std::string caller) {
    TraceState& state = State();
    if (state.hooks.count(driver) != 0) return;
    Hook& hook = state.hooks[driver];
    hook.name = std::move(name);
    hook.caller = std::move(caller);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        hook.original[i] = driver->MajorFunction[i];
        driver->MajorFunction[i] = TracedDispatch;
    }
}

void UnhookDriver(PDRIVER_OBJECT driver, const Hook& hook) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        if (driver->MajorFunction[i] == TracedDispatch) driver->MajorFunction[i] = hook.original[i];
    if (hook.addDevice != nullptr && driver->DriverExtension != nullptr) driver->DriverExtension->AddDevice = hook.addDevice;
}

// tarvelpipe's AddDevice meets the bus driver's physical device first: the bus driver joins the trace
// before tarvelpipe's first request reaches it.
NTSTATUS NTAPI TracedAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    if (physicalDevice != nullptr && physicalDevice->DriverObject != nullptr)
        HookDriver(physicalDevice->DriverObject, DriverNameOf(physicalDevice->DriverObject), DriverNameOf(driver));
    return State().hooks.at(driver).addDevice(driver, physicalDevice);
}

} // namespace

std::string FormatTracedRequest(const TracedRequest& r) {
    char head[64];
    std::snprintf(head, sizeof head, "%12.6f #%-5llu ", static_cast<double>(r.time) / kernel::kSecond,
                  static_cast<unsigned long long>(r.number));
    const std::string hop = r.completion ? r.to + " => " + r.from : r.from + " -> " + r.to;
    char padded[40];
    std::snprintf(padded, sizeof padded, "%-26s ", hop.c_str());
    return head + std::string(padded) + r.what;
}

namespace trace {

void Start(RequestTraceSink sink) {
    TraceState& state = State();
    state.watches.clear();
    state.endpoints.clear();
    state.next = 0;
    PDRIVER_OBJECT pipe = kernel::FindDriver("tarvelpipe");
    state.pipeLoadedHere = pipe == nullptr;
    if (pipe == nullptr) pipe = kernel::LoadDriver("tarvelpipe");
    if (pipe == nullptr) throw std::runtime_error("cannot load tarvelpipe: " + kernel::LastLoadError());
    state.pipeDriver = pipe;
    HookDriver(pipe, "tarvelpipe", "tarvelport");
    Hook& hook = state.hooks.at(pipe);
    hook.addDevice = pipe->DriverExtension->AddDevice;
    pipe->DriverExtension->AddDevice = TracedAddDevice;
    state.sink = std::move(sink);
}

void Stop() {
    TraceState& state = State();
    state.sink = nullptr;
    for (auto& [driver, hook] : state.hooks) UnhookDriver(driver, hook);
    state.hooks.clear();
    if (state.pipeDriver != nullptr && state.pipeLoadedHere && state.pipeDriver->DeviceObject == nullptr)
        kernel::UnloadDriver(state.pipeDriver);
    state.pipeDriver = nullptr;
    state.pipeLoadedHere = false;
}

bool Active() { return static_cast<bool>(State().sink); }

} // namespace trace

} // namespace tarvel::machine
