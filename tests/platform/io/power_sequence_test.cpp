// PoStartNextPowerIrp: a driver that receives a set or query power request and never calls it is
// stopped when the request completes (its device would never get its next power request).
#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using PowerSequence = IoTest;

struct PowerSend {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  static NTSTATUS Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* self = static_cast<PowerSend*>(context);
    self->done = true;
    self->status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

// What the power manager does for a set-power request to the top of a stack.
NTSTATUS SendSetPower(PDEVICE_OBJECT top, POWER_STATE_TYPE type, PowerSend& send) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = type;
  if (type == DevicePowerState) next->Parameters.Power.State.DeviceState = PowerDeviceD0;
  else next->Parameters.Power.State.SystemState = PowerSystemWorking;
  IoSetCompletionRoutine(irp, PowerSend::Done, &send, TRUE, TRUE, TRUE);
  return PoCallDriver(top, irp);
}

Handler CompletePower(bool startNext) {
  return [startNext](TestDevice&, PIRP irp) {
    if (startNext) PoStartNextPowerIrp(irp);
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
}

Handler PassPowerDown(bool startNext) {
  return [startNext](TestDevice& d, PIRP irp) {
    if (startNext) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(d.lower, irp);
  };
}

TEST_F(PowerSequence, ADriverThatCallsPoStartNextPowerIrpPasses) {
  TestStack stack({"bus", "function"});
  stack[0].handler = CompletePower(true);
  stack[1].handler = PassPowerDown(true);
  PowerSend send;
  EXPECT_EQ(SendSetPower(stack.Top().device, DevicePowerState, send), STATUS_SUCCESS);
  EXPECT_TRUE(send.done);
  EXPECT_EQ(send.status, STATUS_SUCCESS);
}

TEST_F(PowerSequence, APowerRequestCompletedWithoutPoStartNextPowerIrpStops) {
  TestStack stack({"bus", "function"});
  stack[0].handler = CompletePower(true);
  stack[1].handler = PassPowerDown(false);
  PowerSend send;
  EXPECT_DEATH(SendSetPower(stack.Top().device, DevicePowerState, send),
               "VERIFIER STOP: power request completed without PoStartNextPowerIrp in IofCompleteRequest .*did not "
               "call PoStartNextPowerIrp");
  stack[0].handler = CompletePower(false);
  stack[1].handler = PassPowerDown(true);
  EXPECT_DEATH(SendSetPower(stack.Top().device, SystemPowerState, send),
               "VERIFIER STOP: power request completed without PoStartNextPowerIrp");
}

}  // namespace
}  // namespace tarvel::io::testing
