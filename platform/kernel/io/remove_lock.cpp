// Remove locks with the bookkeeping of the platform's checked build: every acquisition is counted by
// its tag, a release with a tag that holds nothing (or one release too many) stops the run, and
// IoReleaseRemoveLockAndWaitEx waits until every other holder has released.
#include <wdm.h>

#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>

#include "io/remove_locks.h"
#include "tarvel/kernel.h"

using namespace tarvel;

namespace {

struct LockRecord {
  ULONG allocateTag = 0;
  std::map<const void*, long> heldByTag;
  std::map<const void*, long> acquiredByTag;  // acquisitions ever made, per tag
  bool waited = false;
};

auto& locks = *new std::unordered_map<const IO_REMOVE_LOCK*, LockRecord>();  // never destroyed, so still reachable when the leak checker runs at exit

std::string TagText(const void* tag) {
  char text[32];
  snprintf(text, sizeof text, "%p", tag);
  return text;
}

LockRecord& RecordOf(PIO_REMOVE_LOCK lock, const char* routine, ULONG size) {
  if (size != sizeof(IO_REMOVE_LOCK)) {
    kernel::VerifierStop("remove lock of the wrong size", routine, lock, "RemlockSize " + std::to_string(size));
  }
  auto it = locks.find(lock);
  if (it == locks.end()) kernel::VerifierStop("remove lock used before IoInitializeRemoveLock", routine, lock);
  return it->second;
}

void Release(PIO_REMOVE_LOCK lock, LockRecord& record, const void* tag, const char* routine) {
  auto held = record.heldByTag.find(tag);
  if (held == record.heldByTag.end() || held->second == 0) {
    if (record.acquiredByTag.count(tag) != 0) {
      kernel::VerifierStop("remove lock released more often than acquired", routine, lock,
                           "tag " + TagText(tag) + " was acquired " + std::to_string(record.acquiredByTag[tag]) +
                               " time(s) and has been released as often already");
    }
    kernel::VerifierStop("remove lock released with a tag that was not acquired", routine, lock,
                         "tag " + TagText(tag) + " holds no acquisition");
  }
  if (--held->second == 0) record.heldByTag.erase(held);
  if (lock->Common.IoCount <= 1 && !lock->Common.Removed) {
    kernel::VerifierStop("remove lock released more often than acquired", routine, lock);
  }
  if (InterlockedDecrement(&lock->Common.IoCount) == 0) KeSetEvent(&lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

}  // namespace

namespace tarvel::io {
void ForgetRemoveLocksIn(const void* begin, std::size_t size) {
  const auto* first = static_cast<const unsigned char*>(begin);
  for (auto it = locks.begin(); it != locks.end();) {
    const auto* at = reinterpret_cast<const unsigned char*>(it->first);
    it = (at >= first && at < first + size) ? locks.erase(it) : std::next(it);
  }
}
}  // namespace tarvel::io

extern "C" {

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark,
                              ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(MaxLockedMinutes);
  UNREFERENCED_PARAMETER(HighWatermark);
  kernel::SwitchPoint();
  if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
    kernel::VerifierStop("remove lock of the wrong size", "IoInitializeRemoveLockEx", Lock,
                         "RemlockSize " + std::to_string(RemlockSize));
  }
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  LockRecord& record = locks[Lock];
  record = LockRecord{};
  record.allocateTag = AllocateTag;
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(File);
  UNREFERENCED_PARAMETER(Line);
  kernel::SwitchPoint();
  LockRecord& record = RecordOf(RemoveLock, "IoAcquireRemoveLockEx", RemlockSize);
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  ++record.heldByTag[Tag];
  ++record.acquiredByTag[Tag];
  return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  kernel::SwitchPoint();
  LockRecord& record = RecordOf(RemoveLock, "IoReleaseRemoveLockEx", RemlockSize);
  Release(RemoveLock, record, Tag, "IoReleaseRemoveLockEx");
}

// Marks the lock removed, releases the caller's own acquisition and the lock's initial count, and waits
// until every other acquisition has been released.
VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  kernel::SwitchPoint();
  LockRecord& record = RecordOf(RemoveLock, "IoReleaseRemoveLockAndWaitEx", RemlockSize);
  if (record.waited) {
    kernel::VerifierStop("remove lock released and waited on twice", "IoReleaseRemoveLockAndWaitEx", RemoveLock);
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    kernel::VerifierStop("IoReleaseRemoveLockAndWaitEx above PASSIVE_LEVEL", "IoReleaseRemoveLockAndWaitEx",
                         RemoveLock);
  }
  record.waited = true;
  RemoveLock->Common.Removed = TRUE;
  Release(RemoveLock, record, Tag, "IoReleaseRemoveLockAndWaitEx");
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

}  // extern "C"
