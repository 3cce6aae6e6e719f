// The bus under the verifier's force-pending mode (tarvel/verifier.h): a request the bus could complete
// at once is marked pending and completed later, as a real bus may, so that a driver above that relies
// on completion within IoCallDriver fails here.
#pragma once

#include <ntddk.h>
#include <usb.h>

namespace tarvel::usb {

enum class LaterFrom {
    Dpc,     // a DPC at DISPATCH_LEVEL: URBs, power requests of a stack that is not power-pageable
    Worker,  // a system worker thread at PASSIVE_LEVEL: PnP and the other power requests
};

// With the mode on and with probability `share` (a seeded coin): marks irp pending, arranges its
// completion with status and information (after PoStartNextPowerIrp for a power request) and returns
// true; the dispatch routine then returns STATUS_PENDING. From a DPC, half of them complete before the
// bus's dispatch routine returns (at PASSIVE_LEVEL the DPC runs at once), the others a microsecond of
// virtual time later. False: the caller completes the request itself, now.
// For a URB, urb gets USBD_STATUS_PENDING now and urbStatus when the request completes, as on the platform.
bool CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information, LaterFrom from, double share = 1.0,
                   PURB urb = nullptr, LONG urbStatus = 0);

// Where a power request of the stack above pdo may be completed: at DISPATCH_LEVEL unless the stack's
// top device object handles power at PASSIVE_LEVEL (DO_POWER_PAGABLE).
LaterFrom PowerCompletionContext(PDEVICE_OBJECT pdo);

}  // namespace tarvel::usb
