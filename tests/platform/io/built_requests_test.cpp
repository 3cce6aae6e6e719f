// Requests built by IoBuildDeviceIoControlRequest and IoBuildSynchronousFsdRequest belong to the
// thread that built them: they are built at PASSIVE_LEVEL, finished in that thread's context, and a
// synchronous failure leaves the caller's status block and event alone.
#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using BuiltRequests = IoTest;
constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr NTSTATUS kUntouched = 0x7EADBEEF;

struct Caller {
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  PIRP irp = nullptr;
  explicit Caller(PDEVICE_OBJECT device) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb.Status = kUntouched;
    iosb.Information = 99;
    irp = IoBuildDeviceIoControlRequest(kCode, device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  }
};

LARGE_INTEGER Relative(kernel::VirtualTime t) {
  LARGE_INTEGER value;
  value.QuadPart = -t;
  return value;
}

TEST_F(BuiltRequests, ASynchronousFailureLeavesTheStatusBlockAndTheEventUntouched) {
  TestStack stack({"device"});
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    TestDevice::Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return STATUS_INVALID_DEVICE_REQUEST;
  };
  Caller caller(stack.Top().device);
  EXPECT_EQ(IoCallDriver(stack.Top().device, caller.irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(caller.iosb.Status, kUntouched);
  EXPECT_EQ(caller.iosb.Information, 99u);
  EXPECT_EQ(KeReadStateEvent(&caller.event), 0) << "a caller that waits after a synchronous error hangs";
  EXPECT_EQ(LiveIrps(), 0u) << "the request is freed all the same";
}

TEST_F(BuiltRequests, SuccessAndPendedFailuresReachTheStatusBlockAndTheEvent) {
  TestStack stack({"device"});
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    TestDevice::Complete(irp, STATUS_SUCCESS, 3);
    return STATUS_SUCCESS;
  };
  Caller done(stack.Top().device);
  EXPECT_EQ(IoCallDriver(stack.Top().device, done.irp), STATUS_SUCCESS);
  EXPECT_EQ(done.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(done.iosb.Information, 3u);
  EXPECT_EQ(KeReadStateEvent(&done.event), 1);

  PIRP held = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  Caller pended(stack.Top().device);
  EXPECT_EQ(IoCallDriver(stack.Top().device, pended.irp), STATUS_PENDING);
  kernel::StartThread("completer", [&] { TestDevice::Complete(held, STATUS_DEVICE_NOT_CONNECTED); });
  EXPECT_EQ(KeWaitForSingleObject(&pended.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(pended.iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
}

// Completed on another thread while the issuer runs at APC_LEVEL: the finish waits for the issuer to
// come down to PASSIVE_LEVEL.
TEST_F(BuiltRequests, AreFinishedInTheIssuingThreadOnceItIsAtPassiveLevel) {
  TestStack stack({"device"});
  PIRP held = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  Caller caller(stack.Top().device);
  ASSERT_EQ(IoCallDriver(stack.Top().device, caller.irp), STATUS_PENDING);
  kernel::StartThread("completer", [&] { TestDevice::Complete(held, STATUS_SUCCESS, 5); });
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  LARGE_INTEGER delay = Relative(kernel::kMillisecond);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  EXPECT_EQ(caller.iosb.Status, kUntouched);
  EXPECT_EQ(KeReadStateEvent(&caller.event), 0);
  KeLowerIrql(old);
  EXPECT_EQ(caller.iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(caller.iosb.Information, 5u);
  EXPECT_EQ(KeReadStateEvent(&caller.event), 1);
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(BuiltRequests, AnIssuerThatWaitsForItsRequestAtApcLevelHangs) {
  TestStack stack({"device"});
  PIRP held = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  EXPECT_DEATH(
      {
        Caller caller(stack.Top().device);
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        IoCallDriver(stack.Top().device, caller.irp);
        kernel::StartThread("completer", [&] { TestDevice::Complete(held, STATUS_SUCCESS); });
        KeWaitForSingleObject(&caller.event, Executive, KernelMode, FALSE, nullptr);
      },
      "HANG: .*KeWaitForSingleObject");
}

TEST_F(BuiltRequests, BuildingAbovePassiveLevelStops) {
  TestStack stack({"device"});
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  EXPECT_DEATH(IoBuildDeviceIoControlRequest(kCode, stack.Top().device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb),
               "VERIFIER STOP: request built above PASSIVE_LEVEL in IoBuildDeviceIoControlRequest .*IRQL 1");
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, stack.Top().device, nullptr, 0, nullptr, &event, &iosb),
               "VERIFIER STOP: request built above PASSIVE_LEVEL in IoBuildSynchronousFsdRequest .*IRQL 2");
  KeLowerIrql(PASSIVE_LEVEL);
}

}  // namespace
}  // namespace tarvel::io::testing
