#include "io/power_sequence.h"

#include <algorithm>

#include "exec/engine.h"
#include "tarvel/kernel.h"

namespace tarvel::io {

bool IsSequencedPower(const IO_STACK_LOCATION& stack) {
  return stack.MajorFunction == IRP_MJ_POWER &&
         (stack.MinorFunction == IRP_MN_SET_POWER || stack.MinorFunction == IRP_MN_QUERY_POWER);
}

void NoteSequencedPower(PDEVICE_OBJECT device, PIRP irp) {
  if (!IsSequencedPower(*IoGetNextIrpStackLocation(irp))) return;
  IrpRecord& record = *FindIrp(irp);
  if (std::find(record.powerReceivers.begin(), record.powerReceivers.end(), device) == record.powerReceivers.end())
    record.powerReceivers.push_back(device);
}

void StartNextPower(IrpRecord& record, PIRP irp) {
  if (irp->CurrentLocation > irp->StackCount) return;  // not inside a driver: nothing to start
  const IO_STACK_LOCATION& current = *IoGetCurrentIrpStackLocation(irp);
  if (!IsSequencedPower(current)) return;
  PDEVICE_OBJECT device = current.DeviceObject;
  if (std::find(record.powerStarters.begin(), record.powerStarters.end(), device) == record.powerStarters.end())
    record.powerStarters.push_back(device);
}

void CheckNextPowerStarted(const IrpRecord& record, PIRP irp) {
  for (const void* device : record.powerReceivers) {
    if (std::find(record.powerStarters.begin(), record.powerStarters.end(), device) != record.powerStarters.end())
      continue;
    kernel::VerifierStop("power request completed without PoStartNextPowerIrp", "IofCompleteRequest", irp,
                         "the driver of device " + kernel::exec::DescribeObject(device) +
                             " did not call PoStartNextPowerIrp: the power manager would never send that device "
                             "its next power request");
  }
}

}  // namespace tarvel::io
