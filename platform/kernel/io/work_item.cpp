// I/O work items: a routine run at PASSIVE_LEVEL on a system worker thread, with a reference on the
// item's device object until it has run, so that the device cannot go away under it. Queuing an item
// twice, for a device being deleted, or freeing (or releasing the memory of) a queued item stops the run.
#include <wdm.h>

#include <unordered_set>

#include "io/devices.h"
#include "io/work_items.h"
#include "tarvel/kernel.h"

using namespace tarvel;
using namespace tarvel::io;

struct _IO_WORKITEM {
  PVOID ioObject;
  BOOLEAN queued;
  BOOLEAN allocated;  // IoAllocateWorkItem (else embedded in driver memory by IoInitializeWorkItem)
};

namespace {

auto& liveItems = *new std::unordered_set<const _IO_WORKITEM*>();  // never destroyed, so still reachable when the leak checker runs at exit

_IO_WORKITEM& Item(PIO_WORKITEM item, const char* routine) {
  if (liveItems.count(item) == 0) {
    kernel::VerifierStop("not a live work item", routine, item, "freed, uninitialised or never allocated");
  }
  return *item;
}

kernel::WorkQueue QueueOf(WORK_QUEUE_TYPE type) {
  switch (type) {
    case CriticalWorkQueue: return kernel::WorkQueue::Critical;
    case HyperCriticalWorkQueue: return kernel::WorkQueue::HyperCritical;
    default: return kernel::WorkQueue::Delayed;
  }
}

void Queue(PIO_WORKITEM item, WORK_QUEUE_TYPE queueType, const char* routine, std::function<void(PVOID)> run) {
  kernel::SwitchPoint();
  _IO_WORKITEM& w = Item(item, routine);
  if (w.queued) kernel::VerifierStop("work item queued twice", routine, item, "it is still queued and has not run");
  auto device = static_cast<PDEVICE_OBJECT>(w.ioObject);
  DeviceRecord* record = FindDeviceRecord(device);
  if (record != nullptr) {
    if (record->deletePending) {
      kernel::VerifierStop("work item queued for a device being deleted", routine, item,
                           "IoDeleteDevice has already been called on the item's device");
    }
    ReferenceDevice(device);
    ++record->queuedWorkItems;
  }
  w.queued = TRUE;
  kernel::QueueWork(QueueOf(queueType), [item, device, hasDevice = record != nullptr, run = std::move(run)] {
    item->queued = FALSE;
    if (hasDevice) --FindDeviceRecord(device)->queuedWorkItems;
    PVOID object = item->ioObject;
    run(object);  // the routine may free the item; it is not touched afterwards
    if (hasDevice) DereferenceDevice(device);
  });
}

}  // namespace

namespace tarvel::io {
std::size_t LiveWorkItemCount() { return liveItems.size(); }

void CheckFreedMemoryForWorkItems(const char* routine, const void* begin, std::size_t size) {
  const auto* first = static_cast<const unsigned char*>(begin);
  for (const _IO_WORKITEM* item : liveItems) {
    const auto* at = reinterpret_cast<const unsigned char*>(item);
    if (at >= first && at < first + size && item->queued) {
      kernel::VerifierStop("work item still queued on memory being freed", routine, item);
    }
  }
}
}  // namespace tarvel::io

extern "C" {

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  kernel::SwitchPoint();
  LiveDevice(DeviceObject, "IoAllocateWorkItem");
  if (kernel::ShouldFail(kernel::FaultSite::WorkItem)) return nullptr;
  auto* item = new _IO_WORKITEM{DeviceObject, FALSE, TRUE};
  liveItems.insert(item);
  return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  kernel::SwitchPoint();
  _IO_WORKITEM& w = Item(IoWorkItem, "IoFreeWorkItem");
  if (!w.allocated) kernel::VerifierStop("IoFreeWorkItem on an embedded work item", "IoFreeWorkItem", IoWorkItem);
  if (w.queued) kernel::VerifierStop("work item freed while queued", "IoFreeWorkItem", IoWorkItem);
  liveItems.erase(IoWorkItem);
  delete IoWorkItem;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context) {
  Queue(IoWorkItem, QueueType, "IoQueueWorkItem",
        [WorkerRoutine, Context](PVOID object) { WorkerRoutine(static_cast<PDEVICE_OBJECT>(object), Context); });
}

VOID IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                       PVOID Context) {
  Queue(IoWorkItem, QueueType, "IoQueueWorkItemEx",
        [WorkerRoutine, Context, IoWorkItem](PVOID object) { WorkerRoutine(object, Context, IoWorkItem); });
}

ULONG IoSizeofWorkItem(VOID) { return sizeof(_IO_WORKITEM); }

VOID IoInitializeWorkItem(PVOID IoObject, PIO_WORKITEM IoWorkItem) {
  kernel::SwitchPoint();
  if (liveItems.count(IoWorkItem) != 0 && IoWorkItem->queued) {
    kernel::VerifierStop("work item initialised while queued", "IoInitializeWorkItem", IoWorkItem);
  }
  IoWorkItem->ioObject = IoObject;
  IoWorkItem->queued = FALSE;
  IoWorkItem->allocated = FALSE;
  liveItems.insert(IoWorkItem);
}

VOID IoUninitializeWorkItem(PIO_WORKITEM IoWorkItem) {
  kernel::SwitchPoint();
  _IO_WORKITEM& w = Item(IoWorkItem, "IoUninitializeWorkItem");
  if (w.queued) kernel::VerifierStop("work item uninitialised while queued", "IoUninitializeWorkItem", IoWorkItem);
  liveItems.erase(IoWorkItem);
}

}  // extern "C"
