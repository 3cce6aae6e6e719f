#include "pipe_machine.h"

#include <algorithm>

namespace pipetest {

io::RegistryValue Dword(const char* name, ULONG value) {
    io::RegistryValue v;
    v.name = name;
    v.type = REG_DWORD;
    v.data = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
              static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return v;
}

io::RegistryValue Binary(const char* name, Bytes data) {
    io::RegistryValue v;
    v.name = name;
    v.type = REG_BINARY;
    v.data = std::move(data);
    return v;
}

void PipeMachine::SetUp() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    kernel::Boot(Options());
    BusSpy::Install();
}

void PipeMachine::TearDown() {
    if (!kernel::Booted()) return;
    while (!open_.empty()) Close(open_.back());
    if (port_ != nullptr) {
        // Unplugged: surprise removal, then removal as soon as no handle is open; the bus deletes its
        // physical device object and the driver, left without devices, is unloaded.
        tarvel::usb::Unplug(port_);
        pnp::WaitForIdle();
        port_ = nullptr;
        EXPECT_EQ(kernel::PoolOutstanding(PIPE_POOL_TAG), 0u) << kernel::PoolLeakReport();
        EXPECT_EQ(kernel::FindDriver("tarvelpipe"), nullptr) << "the driver stays loaded without devices";
    }
    kernel::Shutdown();
}

NTSTATUS PipeMachine::Install(DeviceModel& model, std::vector<io::RegistryValue> values) {
    pnp::DeviceDescription description;
    description.functionService = "tarvelpipe";
    description.hardwareIds = {"USB\\VID_1209&PID_7E58"};
    description.hardwareKey = std::move(values);
    description.friendlyName = "pipe test device";
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    port_ = tarvel::usb::Plug(model, description, &status);
    node_ = tarvel::usb::Node(port_);
    return status;
}

kernel::BootOptions PolicyPipeMachine::Options() {
    kernel::BootOptions options;
    if (GetParam() != 0) {
        options.policy = kernel::Policy::Random;
        options.seed = static_cast<std::uint64_t>(GetParam());
        options.switchProbability = 0.4;
    }
    return options;
}

std::string PolicyName(const ::testing::TestParamInfo<int>& info) {
    return info.param == 0 ? std::string("Sequential") : "Seed" + std::to_string(info.param);
}

PDEVICE_OBJECT PipeMachine::PipeDevice() const { return node_ ? pnp::TopOfStack(node_) : nullptr; }

PPIPE_EXTENSION PipeMachine::Ext() const {
    PDEVICE_OBJECT device = PipeDevice();
    return device ? static_cast<PPIPE_EXTENSION>(device->DeviceExtension) : nullptr;
}

ULONG PipeMachine::PipeCountNow() const {
    PPIPE_EXTENSION ext = Ext();
    if (!ext || !ext->ConfigInfo || !ext->ConfigInfo->InterfaceInfo) return 0;
    return ext->ConfigInfo->InterfaceInfo->NumberOfPipes;
}

USBD_PIPE_HANDLE PipeMachine::PipeHandle(ULONG index) const {
    return Ext()->ConfigInfo->PipeTable[index].PipeInfo->PipeHandle;
}

ULONG PipeMachine::SegmentSize(ULONG index) const { return Ext()->ConfigInfo->PipeTable[index].SegmentSize; }

std::string PipeMachine::InterfacePath() const {
    const auto links = io::EnabledInterfaces(GUID_DEVINTERFACE_USB_PIPES);
    return links.empty() ? std::string() : links.front();
}

NTSTATUS PipeMachine::Open(const std::string& pipeName, PFILE_OBJECT* file) {
    *file = nullptr;
    const std::string path = InterfacePath();
    if (path.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    const NTSTATUS status = io::OpenFile(path + pipeName, file);
    if (NT_SUCCESS(status)) {
        // As the application side does: the PnP manager holds a removal back while a handle is open.
        pnp::HandleOpened((*file)->DeviceObject);
        open_.push_back(*file);
    }
    return status;
}

PFILE_OBJECT PipeMachine::OpenPipe(const std::string& pipeName) {
    PFILE_OBJECT file = nullptr;
    const NTSTATUS status = Open(pipeName, &file);
    EXPECT_EQ(status, STATUS_SUCCESS) << "open " << pipeName;
    return file;
}

void PipeMachine::Close(PFILE_OBJECT file) {
    open_.erase(std::remove(open_.begin(), open_.end(), file), open_.end());
    PDEVICE_OBJECT device = file->DeviceObject;
    io::CloseFile(file, [device] { pnp::HandleClosed(device); });
}

IO_STATUS_BLOCK PipeMachine::Read(PFILE_OBJECT file, void* buffer, ULONG length, LONGLONG byteOffset) {
    io::FileRequest request;
    request.majorFunction = IRP_MJ_READ;
    request.buffer = buffer;
    request.length = length;
    request.byteOffset = byteOffset;
    return io::SendFileRequestAndWait(file, request);
}

IO_STATUS_BLOCK PipeMachine::Write(PFILE_OBJECT file, const void* buffer, ULONG length) {
    io::FileRequest request;
    request.majorFunction = IRP_MJ_WRITE;
    request.buffer = const_cast<void*>(buffer);
    request.length = length;
    return io::SendFileRequestAndWait(file, request);
}

IO_STATUS_BLOCK PipeMachine::Control(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                                     ULONG outLength) {
    io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    request.inputBuffer = in;
    request.inputLength = inLength;
    request.outputBuffer = out;
    request.outputLength = outLength;
    return io::SendFileRequestAndWait(file, request);
}

NTSTATUS PipeMachine::ReadAsync(PFILE_OBJECT file, void* buffer, ULONG length, Pending* pending) {
    io::FileRequest request;
    request.majorFunction = IRP_MJ_READ;
    request.buffer = buffer;
    request.length = length;
    request.onComplete = [pending](const IO_STATUS_BLOCK& result) {
        pending->result = result;
        pending->done = true;
    };
    return io::SendFileRequest(file, request);
}

NTSTATUS PipeMachine::ControlAsync(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                                   ULONG outLength, Pending* pending) {
    io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = code;
    request.inputBuffer = in;
    request.inputLength = inLength;
    request.outputBuffer = out;
    request.outputLength = outLength;
    request.onComplete = [pending](const IO_STATUS_BLOCK& result) {
        pending->result = result;
        pending->done = true;
    };
    return io::SendFileRequest(file, request);
}

namespace {

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request the test allocated itself to the pipe device and waits for it, as the port driver's
// lower channel does; returns the final status block and frees the request.
IO_STATUS_BLOCK CallAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    const IO_STATUS_BLOCK result = irp->IoStatus;
    IoFreeIrp(irp);
    return result;
}

}  // namespace

NTSTATUS PipeMachine::OwnCreate(OwnFile* file, const wchar_t* name) {
    PDEVICE_OBJECT device = PipeDevice();
    std::size_t n = 0;
    for (; name[n] != 0 && n + 1 < std::size(file->name); ++n) file->name[n] = static_cast<WCHAR>(name[n]);
    file->name[n] = 0;
    file->object.Type = 5;  // IO_TYPE_FILE
    file->object.Size = sizeof(FILE_OBJECT);
    file->object.DeviceObject = device;
    file->object.FileName.Buffer = file->name;
    file->object.FileName.Length = static_cast<USHORT>(n * sizeof(WCHAR));
    file->object.FileName.MaximumLength = static_cast<USHORT>(sizeof(file->name));
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = &file->object;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return CallAndWait(device, irp).Status;
}

NTSTATUS PipeMachine::OwnClose(OwnFile* file) {
    PDEVICE_OBJECT device = PipeDevice();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CLOSE;
    stack->FileObject = &file->object;
    return CallAndWait(device, irp).Status;
}

IO_STATUS_BLOCK PipeMachine::OwnControl(OwnFile* file, ULONG code, void* buffer, ULONG inLength, ULONG outLength) {
    PDEVICE_OBJECT device = PipeDevice();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = buffer;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->FileObject = file ? &file->object : nullptr;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    return CallAndWait(device, irp);
}

}  // namespace pipetest
