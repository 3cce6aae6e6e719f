// Lock-order checking (deadlock detection in the spirit of the platform's verifier): every spin lock
// acquisition made while other spin locks are held adds an edge "held before taken" to a graph of
// locks; an acquisition that closes a cycle stops the run with the sites of both orders, whether or
// not the run deadlocked. A lock is known by its address; its edges are forgotten when the memory
// that holds it is freed. Try-acquisitions add no edge (they cannot deadlock) but count as held.
#pragma once

#include <string>
#include <vector>

namespace tarvel::kernel::verifier {

// Called by the spin lock routines on the running thread: before an acquisition waits (so that an
// inversion is reported rather than the deadlock it may cause), once it holds the lock, on release.
void CheckLockOrder(const void* lock, const void* site, const char* routine);
void NoteLockHeld(const void* lock, const void* site);
void NoteLockReleased(const void* lock);
// Gives a lock a name for reports ("the cancel spin lock").
void NameLock(const void* lock, const char* name);
// Memory [begin, begin + size) is going away: the locks in it and their edges are forgotten.
void ForgetLocksIn(const void* begin, std::size_t size);

struct HeldLock {
  const void* lock;
  const void* site;
};
// The spin locks a thread holds, in acquisition order, and how reports name such a list.
std::vector<HeldLock> HeldLocks(const void* thread);
std::string DescribeLocks(const std::vector<HeldLock>& locks);

// The spin locks the running thread holds, each with where it was taken ("spin lock 0x... taken at
// ..."), for reports; "no spin lock" if none.
std::string DescribeHeldLocks(const void* thread);
std::string DescribeLock(const void* lock);

}  // namespace tarvel::kernel::verifier
