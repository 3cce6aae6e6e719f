// The power manager's one-at-a-time rule of the platform the drivers target: per device object, one
// system and one device power request (set or query) at a time; the next one is sent only after the
// driver of the device called PoStartNextPowerIrp for the current one. Every driver that received such
// a request must have called it by the time the request completes back to the one who sent it.
#pragma once

#include <wdm.h>

#include "io/irp_records.h"

namespace tarvel::io {

// Set and query power requests are the sequenced ones (not wait-wake or power sequence).
bool IsSequencedPower(const IO_STACK_LOCATION& stack);
// PoCallDriver: true if the device is busy with a request of the same type; the request is then held
// and sent from a worker thread once the device's driver starts the next one.
bool HoldIfDeviceBusy(PDEVICE_OBJECT device, PIRP irp);
// PoStartNextPowerIrp from the driver of the request's current location.
void StartNextPower(IrpRecord& record, PIRP irp);
// Completion is about to hand the request back past every driver that received it.
void CheckNextPowerStarted(const IrpRecord& record, PIRP irp);
void ResetPowerSequences();

}  // namespace tarvel::io
