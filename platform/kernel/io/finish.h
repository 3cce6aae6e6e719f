// The I/O manager's part once a request has come back to the top: for requests it built (IoBuild*Request
// and application requests) the MDLs' pages are unlocked and the MDLs freed, buffered output is copied
// back, the status block written, the event signalled and the request freed. A request a driver
// allocated itself must never get here: its completion routine frees it and stops completion.
// Pages are unlocked in the completer's context; the rest of a built request's finish runs in the
// thread that built it, as the platform's kernel APC does (at once if that thread is at PASSIVE_LEVEL,
// else when it lowers its IRQL there), and a built request that failed without pending leaves the
// status block and event untouched.
#pragma once

#include <wdm.h>

#include "io/irp_records.h"

namespace tarvel::io {

void FinishRequest(IrpRecord& record, CCHAR priorityBoost);

}  // namespace tarvel::io
