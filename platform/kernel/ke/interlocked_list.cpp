// List operations under a spin lock (ExInterlocked*List): the lock is taken at DISPATCH_LEVEL for the
// duration of the list update, as the platform does.
#include "ke/dispatcher.h"

namespace {

template <class F>
auto UnderLock(PKSPIN_LOCK lock, F update) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  auto result = update();
  KeReleaseSpinLock(lock, irql);
  return result;
}

}  // namespace

extern "C" {

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  return UnderLock(Lock, [&] {
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return first;
  });
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
  return UnderLock(Lock, [&] {
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return last;
  });
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  return UnderLock(Lock, [&]() -> PLIST_ENTRY { return IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead); });
}

PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock) {
  return UnderLock(Lock, [&] {
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    ListEntry->Next = first;
    ListHead->Next = ListEntry;
    return first;
  });
}

PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  return UnderLock(Lock, [&] {
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    if (first) ListHead->Next = first->Next;
    return first;
  });
}

}  // extern "C"
