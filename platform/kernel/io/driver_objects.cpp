// Driver objects as the loader sets them up, the I/O manager's default dispatch routine, and the
// StartIo queue of a device (IoStartPacket / IoStartNextPacket).
#include <wdm.h>

#include <map>
#include <memory>
#include <string>

#include "rtl/wide.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"

using namespace tarvel;

namespace tarvel::io {
namespace {

struct DriverObjectParts {
  DRIVER_EXTENSION extension{};
  std::u16string name;
  std::vector<WCHAR> nameBuffer;
};
auto& parts = *new std::map<PDRIVER_OBJECT, std::unique_ptr<DriverObjectParts>>();  // never destroyed, so still reachable when the leak checker runs at exit

}  // namespace

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp) {
  UNREFERENCED_PARAMETER(device);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void InitializeDriverObject(PDRIVER_OBJECT driver, std::string_view name) {
  auto& p = parts[driver];
  p = std::make_unique<DriverObjectParts>();
  p->name = u"\\Driver\\" + rtl::ToU16(name);
  p->nameBuffer.resize(p->name.size() + 1);
  *rtl::CopyOut(p->nameBuffer.data(), p->name) = 0;
  driver->Type = 4;  // IO_TYPE_DRIVER
  driver->Size = sizeof(DRIVER_OBJECT);
  p->extension.DriverObject = driver;
  driver->DriverExtension = &p->extension;
  driver->DriverName.Buffer = p->nameBuffer.data();
  driver->DriverName.Length = static_cast<USHORT>(p->name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = static_cast<USHORT>(driver->DriverName.Length + sizeof(WCHAR));
  for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
}

void ReleaseDriverObject(PDRIVER_OBJECT driver) { parts.erase(driver); }

}  // namespace tarvel::io

namespace {

void StartIo(PDEVICE_OBJECT device, PIRP irp) {
  PDRIVER_STARTIO startIo = device->DriverObject->DriverStartIo;
  if (startIo == nullptr) kernel::VerifierStop("IoStartPacket without a StartIo routine", "IoStartPacket", device);
  kernel::RunDriverCallback("StartIo routine", device, [&] { startIo(device, irp); });
}

}  // namespace

extern "C" {

VOID IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key, PDRIVER_CANCEL CancelFunction) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (CancelFunction != nullptr) (void)IoSetCancelRoutine(Irp, CancelFunction);
  PKDEVICE_QUEUE_ENTRY entry = &Irp->Tail.Overlay.DeviceQueueEntry;
  const BOOLEAN queued = Key != nullptr ? KeInsertByKeyDeviceQueue(&DeviceObject->DeviceQueue, entry, *Key)
                                        : KeInsertDeviceQueue(&DeviceObject->DeviceQueue, entry);
  if (!queued) {
    DeviceObject->CurrentIrp = Irp;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);  // stay at DISPATCH_LEVEL for StartIo, as the platform does
    StartIo(DeviceObject, Irp);
    KeLowerIrql(irql);
    return;
  }
  // Queued: a request cancelled before its cancel routine was set is cancelled now.
  if (CancelFunction != nullptr && Irp->Cancel) {
    auto routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine != nullptr) {
      Irp->CancelIrql = irql;
      routine(DeviceObject, Irp);
      return;
    }
  }
  IoReleaseCancelSpinLock(irql);
}

VOID IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
  KIRQL irql = DISPATCH_LEVEL;
  if (Cancelable) IoAcquireCancelSpinLock(&irql);
  DeviceObject->CurrentIrp = nullptr;
  PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&DeviceObject->DeviceQueue);
  if (entry == nullptr) {
    if (Cancelable) IoReleaseCancelSpinLock(irql);
    return;
  }
  PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
  DeviceObject->CurrentIrp = irp;
  if (Cancelable) IoReleaseCancelSpinLock(irql);
  StartIo(DeviceObject, irp);
}

}  // extern "C"
