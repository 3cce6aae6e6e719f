// The power manager's sequencing of set and query power requests per device object and type: the next
// one waits for PoStartNextPowerIrp on the current one (a wait-wake request does not), and a driver that
// never calls it is stopped.
#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using PowerSequence = IoTest;

struct PowerSend {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
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

TEST_F(PowerSequence, TheNextRequestOfATypeWaitsForPoStartNextPowerIrpOnTheCurrentOne) {
  TestStack stack({"device"});
  std::vector<PIRP> received;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    received.push_back(irp);
    return STATUS_PENDING;
  };
  PowerSend first, second, system, wake;
  EXPECT_EQ(SendSetPower(stack.Top().device, DevicePowerState, first), STATUS_PENDING);
  EXPECT_EQ(SendSetPower(stack.Top().device, DevicePowerState, second), STATUS_PENDING);
  EXPECT_EQ(SendSetPower(stack.Top().device, SystemPowerState, system), STATUS_PENDING);
  // A wait-wake request stays pending for as long as the device is armed, while set requests flow:
  // it is not one of the sequenced ones.
  PIRP wakeIrp = IoAllocateIrp(stack.Top().device->StackSize, FALSE);
  IoGetNextIrpStackLocation(wakeIrp)->MajorFunction = IRP_MJ_POWER;
  IoGetNextIrpStackLocation(wakeIrp)->MinorFunction = IRP_MN_WAIT_WAKE;
  IoGetNextIrpStackLocation(wakeIrp)->Parameters.WaitWake.PowerState = PowerSystemSleeping1;
  IoSetCompletionRoutine(wakeIrp, PowerSend::Done, &wake, TRUE, TRUE, TRUE);
  EXPECT_EQ(PoCallDriver(stack.Top().device, wakeIrp), STATUS_PENDING);
  kernel::RunUntilIdle();
  ASSERT_EQ(received.size(), 3u) << "the second device power request reached the driver before the first was done";
  PIRP systemIrp = received[1];
  ASSERT_EQ(received[2], wakeIrp);
  received.pop_back();
  PoStartNextPowerIrp(received[0]);
  kernel::RunUntilIdle();
  ASSERT_EQ(received.size(), 3u) << "the held request is sent once the driver starts the next one";
  TestDevice::Complete(received[0], STATUS_SUCCESS);
  PoStartNextPowerIrp(received[2]);
  TestDevice::Complete(received[2], STATUS_SUCCESS);
  PoStartNextPowerIrp(systemIrp);
  TestDevice::Complete(systemIrp, STATUS_SUCCESS);
  PoStartNextPowerIrp(wakeIrp);
  TestDevice::Complete(wakeIrp, STATUS_SUCCESS);
  EXPECT_TRUE(first.done && second.done && system.done && wake.done);
  EXPECT_EQ(LiveIrps(), 0u);
}

}  // namespace
}  // namespace tarvel::io::testing
