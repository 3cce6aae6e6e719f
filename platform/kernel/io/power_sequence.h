// PoStartNextPowerIrp on the platform the drivers target: its power manager sends a device object its
// next set or query power request (of the same type) only after the device's driver called
// PoStartNextPowerIrp for the current one, so every driver that received such a request must have called
// it by the time the request completes back to the one who sent it. (The requests themselves are not
// held back here.)
#pragma once

#include <wdm.h>

#include "io/irp_records.h"

namespace tarvel::io {

// Set and query power requests are the sequenced ones (not wait-wake or power sequence).
bool IsSequencedPower(const IO_STACK_LOCATION& stack);
// PoCallDriver: the device receives the request.
void NoteSequencedPower(PDEVICE_OBJECT device, PIRP irp);
// PoStartNextPowerIrp from the driver of the request's current location.
void StartNextPower(IrpRecord& record, PIRP irp);
// Completion is about to hand the request back past every driver that received it.
void CheckNextPowerStarted(const IrpRecord& record, PIRP irp);

}  // namespace tarvel::io
