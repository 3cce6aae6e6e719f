// How the I/O manager hands a caller's buffers to a driver: buffered (a system buffer, copied back on
// completion for input operations), direct (a locked MDL over the caller's buffer) or neither (the
// caller's addresses as they are), by the target device's flags for reads and writes and by the control
// code's method for device control. Shared by IoBuild*Request and the application side.
#pragma once

#include <wdm.h>

#include "io/irp_records.h"

namespace tarvel::io {

// Read/write data of irp's next stack location; false (and nothing left allocated) if an MDL could not
// be allocated.
bool AttachTransferBuffer(PIRP irp, IrpRecord& record, PDEVICE_OBJECT device, UCHAR majorFunction, PVOID buffer,
                          ULONG length, KPROCESSOR_MODE mode);
// Device-control buffers by the method of code.
bool AttachControlBuffers(PIRP irp, IrpRecord& record, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                          ULONG outputLength, KPROCESSOR_MODE mode);
// Releases what the two above attached to a request that is abandoned before it was sent.
void DetachBuffers(PIRP irp);

}  // namespace tarvel::io
