#include "io/power_sequence.h"

#include <algorithm>
#include <deque>
#include <map>
#include <utility>

#include "io/devices.h"
#include "exec/engine.h"
#include "tarvel/kernel.h"

namespace tarvel::io {

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const char* routine, bool locationPreMarked);

namespace {

struct Slot {
  PIRP active = nullptr;
  std::deque<std::pair<PDEVICE_OBJECT, PIRP>> held;
};

std::map<std::pair<const void*, int>, Slot> gSlots;  // by device and POWER_STATE_TYPE

void Send(PDEVICE_OBJECT device, PIRP irp) {
  ReferenceDevice(device);
  kernel::QueueWork(kernel::WorkQueue::Critical, [device, irp] {
    CallDriver(device, irp, "PoCallDriver", true);
    DereferenceDevice(device);
  });
}

}  // namespace

bool IsSequencedPower(const IO_STACK_LOCATION& stack) {
  return stack.MajorFunction == IRP_MJ_POWER &&
         (stack.MinorFunction == IRP_MN_SET_POWER || stack.MinorFunction == IRP_MN_QUERY_POWER);
}

bool HoldIfDeviceBusy(PDEVICE_OBJECT device, PIRP irp) {
  const IO_STACK_LOCATION& next = *IoGetNextIrpStackLocation(irp);
  if (!IsSequencedPower(next)) return false;
  Slot& slot = gSlots[{device, next.Parameters.Power.Type}];
  IrpRecord& record = *FindIrp(irp);
  if (std::find(record.powerReceivers.begin(), record.powerReceivers.end(), device) == record.powerReceivers.end())
    record.powerReceivers.push_back(device);
  if (slot.active == nullptr || slot.active == irp) {
    slot.active = irp;
    return false;
  }
  IoGetNextIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
  slot.held.emplace_back(device, irp);
  return true;
}

void StartNextPower(IrpRecord& record, PIRP irp) {
  if (irp->CurrentLocation > irp->StackCount) return;  // not inside a driver: nothing to start
  const IO_STACK_LOCATION& current = *IoGetCurrentIrpStackLocation(irp);
  if (!IsSequencedPower(current)) return;
  PDEVICE_OBJECT device = current.DeviceObject;
  if (std::find(record.powerStarters.begin(), record.powerStarters.end(), device) == record.powerStarters.end())
    record.powerStarters.push_back(device);
  auto it = gSlots.find({device, current.Parameters.Power.Type});
  if (it == gSlots.end() || it->second.active != irp) return;
  Slot& slot = it->second;
  slot.active = nullptr;
  if (slot.held.empty()) return;
  auto [nextDevice, nextIrp] = slot.held.front();
  slot.held.pop_front();
  slot.active = nextIrp;
  Send(nextDevice, nextIrp);
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

void ResetPowerSequences() { gSlots.clear(); }

}  // namespace tarvel::io
