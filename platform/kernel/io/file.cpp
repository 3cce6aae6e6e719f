// Opening devices by name and sending requests on behalf of an application (or of a driver through
// IoGetDeviceObjectPointer): file objects, IRP_MJ_CREATE / CLEANUP / CLOSE, and read, write, flush and
// device-control requests built as the platform builds them for a caller in user mode.
#include <wdm.h>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

#include "io/devices.h"
#include "io/files.h"
#include "io/irp_records.h"
#include "io/request_buffers.h"
#include "ob/namespace.h"
#include "rtl/wide.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"

using namespace tarvel;

namespace tarvel::io {
namespace {

// A request sent on the file and not finished, with what a cancel selects it by: the thread that
// sent it (CancelIo) and its status block, the application's OVERLAPPED (CancelIoEx).
struct OutstandingRequest {
  PIRP irp;
  PETHREAD issuer;
  PIO_STATUS_BLOCK statusBlock;

  bool Selected(const FileRequestSelection& which) const {
    return (which.issuer == nullptr || which.issuer == issuer) &&
           (which.statusBlock == nullptr || which.statusBlock == statusBlock);
  }
};

struct FileRecord {
  std::unique_ptr<FILE_OBJECT> file;
  PDEVICE_OBJECT device = nullptr;  // the device the name resolved to
  std::vector<WCHAR> name;
  long references = 0;  // handle + outstanding requests + object references
  bool handleOpen = false;
  bool counted = false;  // the open counts in the device's ReferenceCount
  std::vector<OutstandingRequest> outstanding;
  std::vector<std::function<void()>> onClosed;
};

auto& files = *new std::unordered_map<const FILE_OBJECT*, std::unique_ptr<FileRecord>>();  // never destroyed, so still reachable when the leak checker runs at exit

FileRecord& RecordOf(const FILE_OBJECT* file, const char* routine) {
  auto it = files.find(file);
  if (it == files.end()) kernel::VerifierStop("not an open file object", routine, file);
  return *it->second;
}

std::u16string NtPath(std::string_view path) {
  std::u16string p = rtl::ToU16(path);
  if (rtl::StartsWithNoCase(p, u"\\\\.\\") || rtl::StartsWithNoCase(p, u"\\\\?\\")) p = u"\\??\\" + p.substr(4);
  return p;
}

// Sends a request that this file's open builds itself and waits for it (create, cleanup, close).
NTSTATUS SendAndWait(FileRecord& record, UCHAR majorFunction, KPROCESSOR_MODE mode,
                     const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT top = TopOfStack(record.device);
  // Cleanup and close must reach the driver whatever the fault injector says, as on the platform
  // (they come from a must-succeed allocation there).
  PIRP irp = NewIrp(top->StackSize, IrpOrigin::Application, majorFunction == IRP_MJ_CREATE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  FindIrp(irp)->ioManagerFrees = true;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  irp->RequestorMode = mode;
  irp->UserIosb = &iosb;
  irp->UserEvent = &event;
  irp->Flags = IRP_SYNCHRONOUS_API | (majorFunction == IRP_MJ_CREATE ? IRP_CREATE_OPERATION : 0) |
               (majorFunction == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = record.file.get();
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = majorFunction;
  stack->FileObject = record.file.get();
  if (fill) fill(stack);
  NTSTATUS status = IoCallDriver(top, irp);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  status = iosb.Status;
  return status;
}

void DestroyFile(const FILE_OBJECT* file) {
  auto it = files.find(file);
  FileRecord& record = *it->second;
  if (record.counted) record.device->ReferenceCount--;
  PDEVICE_OBJECT device = record.device;
  auto callbacks = std::move(record.onClosed);
  files.erase(it);
  DereferenceDevice(device);
  for (auto& callback : callbacks) callback();
}

void SendClose(FileRecord& record) {
  const FILE_OBJECT* file = record.file.get();
  SendAndWait(record, IRP_MJ_CLOSE, KernelMode, {});
  DestroyFile(file);
}

}  // namespace

bool IsFileObject(const void* object) { return files.count(static_cast<const FILE_OBJECT*>(object)) != 0; }

void ReferenceFile(PFILE_OBJECT file) { ++RecordOf(file, "ObReferenceObject").references; }

// The last reference closes the file. IRP_MJ_CLOSE goes out at PASSIVE_LEVEL: at once for a
// dereference at PASSIVE_LEVEL, on a system worker thread when the last reference went away with the
// completion of a request (so the driver is not entered again from inside its own completion).
void DereferenceFile(PFILE_OBJECT file, bool fromCompletion) {
  FileRecord& record = RecordOf(file, "ObDereferenceObject");
  if (record.references <= 0) {
    kernel::VerifierStop("object dereferenced more often than referenced", "ObDereferenceObject", file);
  }
  if (--record.references != 0) return;
  if (!fromCompletion && KeGetCurrentIrql() == PASSIVE_LEVEL) {
    SendClose(record);
  } else {
    kernel::QueueWork(kernel::WorkQueue::Delayed, [file] { SendClose(*files.at(file)); });
  }
}

void ResetFiles() { files.clear(); }

NTSTATUS OpenFileAs(std::string_view path, PFILE_OBJECT* fileOut, const OpenOptions& options, KPROCESSOR_MODE mode) {
  *fileOut = nullptr;
  const auto resolved = ob::Resolve(NtPath(path));
  if (!resolved) return STATUS_OBJECT_NAME_NOT_FOUND;
  PDEVICE_OBJECT device = resolved->device;
  DeviceRecord* deviceRecord = FindDeviceRecord(device);
  if (deviceRecord == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (deviceRecord->deletePending) return STATUS_DELETE_PENDING;
  if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
  if (const DeviceRecord* bottom = FindDeviceRecord(BottomOfStack(device));
      bottom != nullptr && !NT_SUCCESS(bottom->refuseOpens)) {
    return bottom->refuseOpens;
  }
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;

  auto record = std::make_unique<FileRecord>();
  record->file = std::make_unique<FILE_OBJECT>();
  PFILE_OBJECT file = record->file.get();
  memset(file, 0, sizeof *file);
  file->Type = 5;  // IO_TYPE_FILE
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->ReadAccess = (options.desiredAccess & (GENERIC_READ | FILE_READ_DATA)) ? TRUE : FALSE;
  file->WriteAccess = (options.desiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA)) ? TRUE : FALSE;
  file->SharedRead = (options.shareAccess & FILE_SHARE_READ) ? TRUE : FALSE;
  file->SharedWrite = (options.shareAccess & FILE_SHARE_WRITE) ? TRUE : FALSE;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
  InitializeListHead(&file->IrpList);
  record->name.resize(resolved->remainder.size() + 1);
  *rtl::CopyOut(record->name.data(), resolved->remainder) = 0;
  file->FileName.Buffer = record->name.data();
  file->FileName.Length = static_cast<USHORT>(resolved->remainder.size() * sizeof(WCHAR));
  file->FileName.MaximumLength = static_cast<USHORT>(file->FileName.Length + sizeof(WCHAR));
  record->device = device;
  ReferenceDevice(device);
  FileRecord& r = *record;
  files[file] = std::move(record);

  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = options.desiredAccess;
  security.FullCreateOptions = options.createOptions;
  const NTSTATUS status = SendAndWait(r, IRP_MJ_CREATE, mode, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = (options.createDisposition << 24) | (options.createOptions & 0x00FFFFFF);
    stack->Parameters.Create.FileAttributes = static_cast<USHORT>(FILE_ATTRIBUTE_NORMAL);
    stack->Parameters.Create.ShareAccess = static_cast<USHORT>(options.shareAccess);
  });
  if (!NT_SUCCESS(status)) {
    files.erase(file);
    DereferenceDevice(device);
    return status;
  }
  file->Flags |= FO_HANDLE_CREATED;
  r.handleOpen = true;
  r.counted = true;
  r.references = 1;
  device->ReferenceCount++;
  *fileOut = file;
  return status;
}

NTSTATUS OpenFile(std::string_view path, PFILE_OBJECT* file, const OpenOptions& options) {
  return OpenFileAs(path, file, options, UserMode);
}

void CloseFile(PFILE_OBJECT file, std::function<void()> closed) {
  FileRecord& record = RecordOf(file, "CloseFile");
  if (!record.handleOpen) kernel::VerifierStop("handle closed twice", "CloseFile", file);
  record.handleOpen = false;
  if (closed) record.onClosed.push_back(std::move(closed));
  SendAndWait(record, IRP_MJ_CLEANUP, UserMode, {});
  file->Flags |= FO_CLEANUP_COMPLETE;
  DereferenceFile(file);
}

namespace {

struct AppRequest {
  IO_STATUS_BLOCK statusBlock{};
  std::function<void(const IO_STATUS_BLOCK&)> onComplete;
};

// Builds and sends; *sent tells whether the request went to the driver.
NTSTATUS Send(PFILE_OBJECT file, const FileRequest& request, bool* sent) {
  *sent = false;
  FileRecord& record = RecordOf(file, "SendFileRequest");
  if (!record.handleOpen) return STATUS_INVALID_HANDLE;
  PDEVICE_OBJECT top = TopOfStack(record.device);
  PIRP irp = NewIrp(top->StackSize, IrpOrigin::Application);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IrpRecord& irpRecord = *FindIrp(irp);
  irpRecord.ioManagerFrees = true;
  irpRecord.file = file;
  auto context = std::make_unique<AppRequest>();
  context->onComplete = request.onComplete;
  irp->RequestorMode = UserMode;
  irp->UserIosb = request.statusBlock != nullptr ? request.statusBlock : &context->statusBlock;
  irp->UserEvent = request.event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = request.majorFunction;
  stack->FileObject = file;
  bool attached = true;
  switch (request.majorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      attached = AttachTransferBuffer(irp, irpRecord, top, request.majorFunction, request.buffer, request.length,
                                      UserMode);
      stack->Parameters.Read.Length = request.length;
      stack->Parameters.Read.ByteOffset.QuadPart = request.byteOffset;
      irp->Flags |= request.majorFunction == IRP_MJ_READ ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
      break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      attached = AttachControlBuffers(irp, irpRecord, request.ioControlCode, const_cast<void*>(request.inputBuffer),
                                      request.inputLength, request.outputBuffer, request.outputLength, UserMode);
      break;
    default:
      break;
  }
  if (!attached) {
    DetachBuffers(irp);
    ReleaseIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ++record.references;
  record.outstanding.push_back({irp, irp->Tail.Overlay.Thread, request.statusBlock});
  irpRecord.finished = [file, irp, context = std::shared_ptr<AppRequest>(std::move(context))](
                           const IO_STATUS_BLOCK& result) {
    FileRecord& r = *files.at(file);
    std::erase_if(r.outstanding, [irp](const OutstandingRequest& o) { return o.irp == irp; });
    if (context->onComplete) context->onComplete(result);
    DereferenceFile(file, true);
  };
  *sent = true;
  return IoCallDriver(top, irp);
}

}  // namespace

NTSTATUS SendFileRequest(PFILE_OBJECT file, const FileRequest& request) {
  bool sent = false;
  return Send(file, request, &sent);
}

IO_STATUS_BLOCK SendFileRequestAndWait(PFILE_OBJECT file, FileRequest request) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  request.event = &event;
  request.statusBlock = &result;
  bool sent = false;
  const NTSTATUS status = Send(file, request, &sent);
  if (!sent) {
    result.Status = status;
    return result;
  }
  KeWaitForSingleObject(&event, Executive, UserMode, FALSE, nullptr);
  return result;
}

NTSTATUS SendDeviceControlAndWait(PDEVICE_OBJECT device, ULONG ioControlCode) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  PIRP irp = IoBuildDeviceIoControlRequest(ioControlCode, device, nullptr, 0, nullptr, 0, FALSE, &done, &result);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = IoCallDriver(device, irp);
  if (status != STATUS_PENDING) return status;
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return result.Status;
}

namespace {

bool StillOutstanding(const FileRecord& record, PIRP irp) {
  return std::any_of(record.outstanding.begin(), record.outstanding.end(),
                     [irp](const OutstandingRequest& o) { return o.irp == irp; });
}

}  // namespace

std::size_t CancelFileRequests(PFILE_OBJECT file, const FileRequestSelection& which) {
  FileRecord& record = RecordOf(file, "CancelFileRequests");
  // A request that finished meanwhile may already be freed while still listed as outstanding: each one
  // is checked and cancelled with no switch point in between, and is not touched if it is gone.
  std::vector<std::pair<PIRP, std::uint64_t>> pending;
  for (const OutstandingRequest& o : record.outstanding) {
    if (!o.Selected(which)) continue;
    if (const IrpRecord* live = FindIrp(o.irp); live != nullptr && !live->freed) pending.emplace_back(o.irp, live->id);
  }
  std::size_t cancelled = 0;
  for (const auto& [irp, id] : pending) {
    // The check is made holding the cancel spin lock, after its switch point, and the cancel follows
    // with no switch point in between.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    auto it = files.find(file);
    const IrpRecord* live = FindIrp(irp, id);
    if (it != files.end() && live != nullptr && !live->freed && StillOutstanding(*it->second, irp)) {
      CancelIrpHoldingCancelLock(irp, irql);
      ++cancelled;
    } else {
      IoReleaseCancelSpinLock(irql);
    }
    if (it == files.end()) break;
  }
  return cancelled;
}

std::size_t OutstandingFileRequests(PFILE_OBJECT file, const FileRequestSelection& which) {
  const FileRecord& record = RecordOf(file, "OutstandingFileRequests");
  return static_cast<std::size_t>(std::count_if(record.outstanding.begin(), record.outstanding.end(),
                                                [&which](const OutstandingRequest& o) { return o.Selected(which); }));
}

PDEVICE_OBJECT FileTargetDevice(PFILE_OBJECT file) { return TopOfStack(RecordOf(file, "FileTargetDevice").device); }

void RefuseOpens(PDEVICE_OBJECT physicalDevice, NTSTATUS status) {
  LiveDevice(physicalDevice, "RefuseOpens").refuseOpens = status;
}

std::size_t OpenFileCount(PDEVICE_OBJECT anyDeviceOfStack) {
  const PDEVICE_OBJECT bottom = BottomOfStack(anyDeviceOfStack);
  std::size_t count = 0;
  for (const auto& [file, record] : files) {
    if (record->handleOpen || record->references > 0) {
      if (FindDeviceRecord(record->device) != nullptr && BottomOfStack(record->device) == bottom) ++count;
    }
  }
  return count;
}

}  // namespace tarvel::io

extern "C" {

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  return tarvel::io::TopOfStack(FileObject->DeviceObject);
}

// Opens the device as a kernel-mode caller, keeps a reference on the file object and closes the handle
// (IRP_MJ_CLEANUP goes out now, IRP_MJ_CLOSE when the caller dereferences the file object).
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject,
                                  PDEVICE_OBJECT* DeviceObject) {
  kernel::SwitchPoint();
  tarvel::io::OpenOptions options;
  options.desiredAccess = DesiredAccess;
  PFILE_OBJECT file = nullptr;
  const NTSTATUS status =
      tarvel::io::OpenFileAs(rtl::ToUtf8(rtl::ToU16(ObjectName)), &file, options, KernelMode);
  if (!NT_SUCCESS(status)) return status;
  tarvel::io::ReferenceFile(file);
  tarvel::io::CloseFile(file);
  *FileObject = file;
  *DeviceObject = IoGetRelatedDeviceObject(file);
  return STATUS_SUCCESS;
}

}  // extern "C"
