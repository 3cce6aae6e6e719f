// The I/O manager's records of the requests it has handed out. A request's memory stays allocated
// (and poisoned for the address sanitizer) for a while after it is freed, so that a later use of the
// freed request is recognised by its address instead of landing in a new request.
//
// Per stack location the records keep what the pending checks need: each dispatch into the location
// starts a new serial; when completion passes the location it notes whether the location was marked
// pending and whether that mark came from below (PendingReturned carried up by the I/O manager, or set
// by the completion routine of the location below), so that a dispatch routine's return value can be
// checked against its own IoMarkIrpPending even after the request is gone.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace tarvel::kernel::exec {
struct Thread;
}

namespace tarvel::io {

enum class IrpOrigin {
  Allocated,        // IoAllocateIrp: the allocating driver frees it in its completion routine
  DriverMemory,     // IoInitializeIrp on memory of the driver's own
  Built,            // IoBuild*Request: the I/O manager finishes and frees it
  Application,      // built for an application's request: finished and freed by the I/O manager
};

struct LocationState {
  std::uint64_t serial = 0;           // dispatches into this location so far
  std::uint64_t completedSerial = 0;  // serial in force when completion last passed the location
  bool sawMark = false;               // SL_PENDING_RETURNED seen by that completion
  bool markInherited = false;         // ... and the mark came from below (not the dispatch routine's own)
  bool inheritedMark = false;         // since its dispatch, the location was marked by completion from below
  bool pendingUnchecked = false;      // dispatch returned STATUS_PENDING before completion reached here
};

struct IrpRecord {
  std::uint64_t id = 0;  // distinguishes records of requests that reuse an address
  PIRP irp = nullptr;
  std::size_t size = 0;
  IrpOrigin origin = IrpOrigin::Allocated;
  bool freed = false;
  bool finishedByIoManager = false;
  bool ioManagerFrees = false;        // synchronous built and application requests: drivers never free them
  std::uint64_t completions = 0;      // IofCompleteRequest calls on this request
  std::vector<LocationState> locations;  // index = stack location number, 1..StackCount
  ULONG bufferedOutputLength = 0;     // room at UserBuffer for the copy back of buffered output
  // Called once the I/O manager has finished the request (application requests).
  std::function<void(const IO_STATUS_BLOCK&)> finished;
  PFILE_OBJECT file = nullptr;        // application requests: the file object they hold a reference on
  // Sequenced power requests: devices that received it, and those whose driver called PoStartNextPowerIrp.
  std::vector<const void*> powerReceivers, powerStarters;
  kernel::exec::Thread* issuer = nullptr;  // built requests: the thread they belong to (finished there)
};

// A new request of stackSize locations, zeroed and initialised; nullptr if the Irp fault site fails.
PIRP NewIrp(CCHAR stackSize, IrpOrigin origin, bool mayFail = true);
// Sets up the fields of a request as IoInitializeIrp does (memory already zeroed).
void InitializeIrpFields(PIRP irp, USHORT packetSize, CCHAR stackSize);
// Frees the request into the quarantine.
void ReleaseIrp(PIRP irp);
// The rest of IoCancelIrp, entered with the cancel spin lock held (irql: the IRQL to return to) on a
// request known to be live; the lock is released (by the cancel routine, if there is one).
BOOLEAN CancelIrpHoldingCancelLock(PIRP irp, KIRQL irql);

IrpRecord* FindIrp(const IRP* irp);       // live or quarantined
IrpRecord* FindIrp(const IRP* irp, std::uint64_t id);  // only if it is still the same request
IrpRecord* RegisterDriverIrp(PIRP irp, CCHAR stackSize);  // IoInitializeIrp on driver memory
// The record of a live request, or a verifier stop naming the routine: a freed request ("use of a freed
// request", or "request completed twice" in IofCompleteRequest after the I/O manager finished it) or an
// address that is no request at all.
IrpRecord& LiveIrp(const IRP* irp, const char* routine);
LocationState& Location(IrpRecord& record, int location);

// System buffers of buffered I/O (host memory, so that the address sanitizer sees overruns).
void* NewSystemBuffer(std::size_t size);
void DeleteSystemBuffer(void* buffer);

std::size_t LiveIrpCount();
// A free of pool memory that holds a request initialised there: forgotten, or a verifier stop if a
// driver still holds the request.
void CheckFreedMemoryForIrps(const char* routine, const void* begin, std::size_t size);
void ResetIrps();

}  // namespace tarvel::io
