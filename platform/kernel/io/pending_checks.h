// The verifier's pending checks. A dispatch routine that returns STATUS_PENDING must have marked its
// stack location pending (IoMarkIrpPending) by the time completion passes that location; one that
// marked its location itself must return STATUS_PENDING. A mark that came up from below (carried by
// the I/O manager or set by the completion routine of the location below, as in the synchronous
// forwarding pattern) does not count as the dispatch routine's own.
#pragma once

#include <wdm.h>

#include <cstdint>

#include "io/irp_records.h"

namespace tarvel::io {

// Sends irp to device as IofCallDriver does (routine names the caller in verifier stops).
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char* routine, bool locationPreMarked);

// After the dispatch routine of `location` returned status (the request may be gone by now).
void CheckDispatchReturn(PIRP irp, std::uint64_t id, int location, std::uint64_t serial, NTSTATUS status,
                         PDEVICE_OBJECT device);
// When completion passes `location` (irp->PendingReturned has just been read from it).
void CheckLocationCompleted(IrpRecord& record, int location, bool markedPending);

}  // namespace tarvel::io
