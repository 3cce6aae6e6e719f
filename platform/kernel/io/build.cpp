// Requests the I/O manager builds for a driver: device control (internal and external, every method)
// and reads, writes and the other simple major functions, synchronous (the I/O manager finishes and
// frees them, signalling the caller's event) or asynchronous (the caller's completion routine frees
// them, or the I/O manager finishes them like the others).
#include <wdm.h>

#include <string>

#include "exec/engine.h"
#include "io/irp_records.h"
#include "io/request_buffers.h"
#include "tarvel/kernel.h"

using namespace tarvel;
using namespace tarvel::io;

namespace {

PIRP NewBuiltIrp(PDEVICE_OBJECT device, PIO_STATUS_BLOCK statusBlock, PKEVENT event, bool synchronous) {
  PIRP irp = NewIrp(device->StackSize, IrpOrigin::Built);
  if (irp == nullptr) return nullptr;
  FindIrp(irp)->ioManagerFrees = synchronous;
  FindIrp(irp)->issuer = kernel::exec::Current();
  irp->RequestorMode = KernelMode;
  irp->UserIosb = statusBlock;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  return irp;
}

// The synchronous builders allocate and lock memory of the caller's and the caller waits for the
// request: the platform allows them at PASSIVE_LEVEL only.
void RequirePassiveLevel(const char* routine) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    kernel::VerifierStop("request built above PASSIVE_LEVEL", routine, nullptr,
                         "IRQL " + std::to_string(KeGetCurrentIrql()));
}

void Abandon(PIRP irp) {
  DetachBuffers(irp);
  ReleaseIrp(irp);
}

PIRP BuildFsdRequest(ULONG majorFunction, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                     PLARGE_INTEGER startingOffset, PKEVENT event, PIO_STATUS_BLOCK statusBlock, bool synchronous) {
  kernel::SwitchPoint();
  PIRP irp = NewBuiltIrp(device, statusBlock, event, synchronous);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = static_cast<UCHAR>(majorFunction);
  if (majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE) {
    if (!AttachTransferBuffer(irp, *FindIrp(irp), device, static_cast<UCHAR>(majorFunction), buffer, length,
                              KernelMode)) {
      Abandon(irp);
      return nullptr;
    }
    stack->Parameters.Read.Length = length;
    if (startingOffset != nullptr) stack->Parameters.Read.ByteOffset = *startingOffset;
  }
  return irp;
}

}  // namespace

extern "C" {

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  kernel::SwitchPoint();
  RequirePassiveLevel("IoBuildDeviceIoControlRequest");
  PIRP irp = NewBuiltIrp(DeviceObject, IoStatusBlock, Event, true);
  if (irp == nullptr) return nullptr;
  IoGetNextIrpStackLocation(irp)->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  if (!AttachControlBuffers(irp, *FindIrp(irp), IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                            OutputBufferLength, KernelMode)) {
    Abandon(irp);
    return nullptr;
  }
  return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  RequirePassiveLevel("IoBuildSynchronousFsdRequest");
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, Event, IoStatusBlock, true);
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, nullptr, IoStatusBlock, false);
}

}  // extern "C"
