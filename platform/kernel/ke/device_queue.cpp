// Device queues (KDEVICE_QUEUE): a busy flag and a list of entries sorted by key, under the queue's
// spin lock; the caller is at DISPATCH_LEVEL as on the platform.
#include "ke/dispatcher.h"

namespace {

struct QueueLock {
  explicit QueueLock(PKDEVICE_QUEUE queue) : lock(&queue->Lock) { KeAcquireSpinLockAtDpcLevel(lock); }
  ~QueueLock() { KeReleaseSpinLockFromDpcLevel(lock); }
  PKSPIN_LOCK lock;
};

void RequireDispatch(PKDEVICE_QUEUE queue, const char* routine) {
  if (KeGetCurrentIrql() != DISPATCH_LEVEL)
    tarvel::kernel::VerifierStop("device queue used below DISPATCH_LEVEL", routine, queue);
}

PKDEVICE_QUEUE_ENTRY EntryOf(PLIST_ENTRY link) { return CONTAINING_RECORD(link, KDEVICE_QUEUE_ENTRY, DeviceListEntry); }

}  // namespace

extern "C" {

VOID KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  DeviceQueue->Type = 0x14;
  DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
  InitializeListHead(&DeviceQueue->DeviceListHead);
  KeInitializeSpinLock(&DeviceQueue->Lock);
  DeviceQueue->Busy = FALSE;
}

BOOLEAN KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  RequireDispatch(DeviceQueue, "KeInsertDeviceQueue");
  QueueLock lock(DeviceQueue);
  if (!DeviceQueue->Busy) {
    DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = FALSE;
    return FALSE;
  }
  InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
  DeviceQueueEntry->Inserted = TRUE;
  return TRUE;
}

BOOLEAN KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey) {
  RequireDispatch(DeviceQueue, "KeInsertByKeyDeviceQueue");
  QueueLock lock(DeviceQueue);
  DeviceQueueEntry->SortKey = SortKey;
  if (!DeviceQueue->Busy) {
    DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = FALSE;
    return FALSE;
  }
  PLIST_ENTRY before = DeviceQueue->DeviceListHead.Flink;
  while (before != &DeviceQueue->DeviceListHead && EntryOf(before)->SortKey <= SortKey) before = before->Flink;
  InsertTailList(before, &DeviceQueueEntry->DeviceListEntry);  // i.e. just ahead of `before`
  DeviceQueueEntry->Inserted = TRUE;
  return TRUE;
}

PKDEVICE_QUEUE_ENTRY KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  RequireDispatch(DeviceQueue, "KeRemoveDeviceQueue");
  QueueLock lock(DeviceQueue);
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
    return nullptr;
  }
  PKDEVICE_QUEUE_ENTRY entry = EntryOf(RemoveHeadList(&DeviceQueue->DeviceListHead));
  entry->Inserted = FALSE;
  return entry;
}

PKDEVICE_QUEUE_ENTRY KeRemoveByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue, ULONG SortKey) {
  RequireDispatch(DeviceQueue, "KeRemoveByKeyDeviceQueue");
  QueueLock lock(DeviceQueue);
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
    return nullptr;
  }
  PLIST_ENTRY link = DeviceQueue->DeviceListHead.Flink;
  while (link != &DeviceQueue->DeviceListHead && EntryOf(link)->SortKey < SortKey) link = link->Flink;
  if (link == &DeviceQueue->DeviceListHead) link = DeviceQueue->DeviceListHead.Flink;
  RemoveEntryList(link);
  EntryOf(link)->Inserted = FALSE;
  return EntryOf(link);
}

BOOLEAN KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceQueue->Lock, &irql);
  const BOOLEAN wasInserted = DeviceQueueEntry->Inserted;
  if (wasInserted) {
    RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    DeviceQueueEntry->Inserted = FALSE;
  }
  KeReleaseSpinLock(&DeviceQueue->Lock, irql);
  return wasInserted;
}

}  // extern "C"
