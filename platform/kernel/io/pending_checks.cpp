#include "io/pending_checks.h"

#include "tarvel/kernel.h"

namespace tarvel::io {

void CheckDispatchReturn(PIRP irp, std::uint64_t id, int location, std::uint64_t serial, NTSTATUS status,
                         PDEVICE_OBJECT device) {
  IrpRecord* record = FindIrp(irp, id);
  if (record == nullptr) return;  // long gone: nothing left to compare with
  LocationState& state = Location(*record, location);
  const bool completedPast = state.completedSerial >= serial;
  if (status == STATUS_PENDING) {
    if (completedPast) {
      if (!state.sawMark) {
        kernel::VerifierStop("STATUS_PENDING returned without IoMarkIrpPending", "dispatch routine", device,
                             "the request completed without its stack location marked pending");
      }
    } else if (!record->freed) {
      const PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
      if (!(stack->Control & SL_PENDING_RETURNED)) state.pendingUnchecked = true;
    }
    return;
  }
  bool marked = false;
  if (completedPast) {
    marked = state.sawMark && !state.markInherited;
  } else if (!record->freed) {
    const PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
    marked = (stack->Control & SL_PENDING_RETURNED) && !state.inheritedMark;
  }
  if (marked) {
    kernel::VerifierStop("IoMarkIrpPending without returning STATUS_PENDING", "dispatch routine", device,
                         "returned status 0x" + [&] {
                           char text[16];
                           snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
                           return std::string(text);
                         }() + " after marking the request pending");
  }
}

void CheckLocationCompleted(IrpRecord& record, int location, bool markedPending) {
  LocationState& state = Location(record, location);
  state.completedSerial = state.serial;
  state.sawMark = markedPending;
  state.markInherited = state.inheritedMark;
  if (state.pendingUnchecked && !markedPending) {
    kernel::VerifierStop("STATUS_PENDING returned without IoMarkIrpPending", "IofCompleteRequest", record.irp,
                         "the dispatch routine of stack location " + std::to_string(location) +
                             " returned STATUS_PENDING and the location was never marked pending");
  }
  state.pendingUnchecked = false;
}

}  // namespace tarvel::io
