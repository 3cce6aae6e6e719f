// Each verifier check of the I/O manager, triggered by a misbehaving test driver.
#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using IoVerifier = IoTest;
constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

TEST_F(IoVerifier, RequestCompletedTwice) {
  TestStack stack({"device"});
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    TestDevice::Complete(irp, STATUS_SUCCESS);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode), "VERIFIER STOP: request completed twice in IofCompleteRequest");
  // A request that its originator keeps after completion (the routine stops completion) is not freed;
  // completing it again is caught all the same.
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
      TRUE, TRUE);
  stack.Top().handler = [](TestDevice&, PIRP request) {
    TestDevice::Complete(request, STATUS_SUCCESS);
    TestDevice::Complete(request, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(IoCallDriver(stack.Top().device, irp), "VERIFIER STOP: request completed twice in IofCompleteRequest");
  IoFreeIrp(irp);
}

TEST_F(IoVerifier, CompletionRoutineThatCompletesAgainAndLetsCompletionContinue) {
  TestStack stack({"bottom", "top"});
  stack.Top().handler = [](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP request, PVOID) NTAPI -> NTSTATUS {
          IoCompleteRequest(request, IO_NO_INCREMENT);
          return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode), "VERIFIER STOP: request completed twice");
}

TEST_F(IoVerifier, RequestCompletedWithACancelRoutineSet) {
  TestStack stack({"device"});
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    PDRIVER_CANCEL routine = [](PDEVICE_OBJECT, PIRP) NTAPI {};
    (void)IoSetCancelRoutine(irp, routine);
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode),
               "VERIFIER STOP: request completed with a cancel routine set in IofCompleteRequest");
}

TEST_F(IoVerifier, PendingReturnedWithoutMarkingTheRequest) {
  TestStack stack({"device"});
  PIRP held = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    held = irp;
    return STATUS_PENDING;
  };
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        PIRP irp = IoBuildDeviceIoControlRequest(kCode, stack.Top().device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        IoCallDriver(stack.Top().device, irp);
        TestDevice::Complete(held, STATUS_SUCCESS);
      },
      "VERIFIER STOP: STATUS_PENDING returned without IoMarkIrpPending");
  // Completed before the dispatch routine returned: caught at once.
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode),
               "VERIFIER STOP: STATUS_PENDING returned without IoMarkIrpPending in dispatch routine");
}

TEST_F(IoVerifier, RequestMarkedPendingButAnotherStatusReturned) {
  TestStack stack({"device"});
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode),
               "VERIFIER STOP: IoMarkIrpPending without returning STATUS_PENDING in dispatch routine");
}

TEST_F(IoVerifier, RequestSentWithNoStackLocationLeft) {
  TestStack stack({"bottom", "top"});
  stack.Top().handler = [](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(d.lower, irp);
  };
  PIRP irp = IoAllocateIrp(1, FALSE);  // one location short for a stack of two
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  EXPECT_DEATH(IoCallDriver(stack.Top().device, irp), "VERIFIER STOP: no stack location left in IofCallDriver");
  IoFreeIrp(irp);
}

TEST_F(IoVerifier, FreedRequestUsed) {
  TestStack stack({"device"});
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoCancelIrp(irp);
      },
      "VERIFIER STOP: use of a freed request in IoCancelIrp");
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
      },
      "VERIFIER STOP: use of a freed request in IoFreeIrp");
  // A request the I/O manager has finished and freed, completed again by a driver that kept it.
  PIRP kept = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    kept = irp;
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  SendControl(stack.Top().device, kCode);
  EXPECT_DEATH(IoCompleteRequest(kept, IO_NO_INCREMENT), "VERIFIER STOP: request completed twice in IofCompleteRequest");
  EXPECT_DEATH(IoCallDriver(stack.Top().device, kept), "VERIFIER STOP: use of a freed request in IofCallDriver");
}

TEST_F(IoVerifier, DriverAllocatedRequestMustNotReachTheIoManager) {
  TestStack stack({"device"});
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  EXPECT_DEATH(IoCallDriver(stack.Top().device, irp),
               "VERIFIER STOP: driver-allocated request completed to the I/O manager");
  IoFreeIrp(irp);
}

TEST_F(IoVerifier, InformationLargerThanTheOutputBuffer) {
  TestStack stack({"device"});
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    TestDevice::Complete(irp, STATUS_SUCCESS, 9);
    return STATUS_SUCCESS;
  };
  char output[8];
  EXPECT_DEATH(SendControl(stack.Top().device, kCode, nullptr, 0, output, sizeof output),
               "VERIFIER STOP: Information exceeds the output buffer");
}

TEST_F(IoVerifier, SpinLockHeldOrIrqlChangedWhenADriverRoutineReturns) {
  TestStack stack({"bottom", "top"});
  static KSPIN_LOCK lock = 0;
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    TestDevice::Complete(irp, STATUS_SUCCESS);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode), "VERIFIER STOP: .* in dispatch routine");
  stack.Top().handler = [](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
          KIRQL old;
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          return STATUS_CONTINUE_COMPLETION;
        },
        nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode), "VERIFIER STOP: IRQL not restored in completion routine");
}

TEST_F(IoVerifier, RemoveLockMisuse) {
  static IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 'kLmR', 1, 10);
  int a = 0, b = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &a), STATUS_SUCCESS);
  EXPECT_DEATH(IoReleaseRemoveLock(&lock, &b),
               "VERIFIER STOP: remove lock released with a tag that was not acquired in IoReleaseRemoveLockEx");
  IoReleaseRemoveLock(&lock, &a);
  EXPECT_DEATH(IoReleaseRemoveLock(&lock, &a),
               "VERIFIER STOP: remove lock released more often than acquired in IoReleaseRemoveLockEx");
}

TEST_F(IoVerifier, DeviceDeletedWhileStillAttachedToTheDeviceBelow) {
  TestStack stack({"bottom", "top"});
  EXPECT_DEATH(IoDeleteDevice(stack.Top().device),
               "VERIFIER STOP: device deleted while still attached in IoDeleteDevice");
  // The device below may go first (a bus driver deleting its physical device object in the removal
  // that the function driver passed down); it stays until the function driver has detached.
  PDEVICE_OBJECT bottom = stack.Bottom().device;
  IoDeleteDevice(bottom);
  EXPECT_EQ(stack.Top().device->StackSize, 2);
  IoDetachDevice(bottom);
  IoDeleteDevice(stack.Top().device);
  stack.Forget();
  EXPECT_DEATH(IoDetachDevice(bottom), "VERIFIER STOP: not a device object in IoDetachDevice");
}

TEST_F(IoVerifier, WorkItemQueuedForADeviceBeingDeleted) {
  TestStack stack({"device"});
  PIO_WORKITEM item = IoAllocateWorkItem(stack.Top().device);
  auto routine = [](PDEVICE_OBJECT, PVOID) NTAPI {};
  EXPECT_DEATH(
      {
        IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
        IoDeleteDevice(stack.Top().device);  // the item has not run yet
      },
      "VERIFIER STOP: work item still queued for a device being deleted in IoDeleteDevice");
  EXPECT_DEATH(
      {
        ObReferenceObject(stack.Top().device);  // keeps the deleted device's memory
        stack.TearDown();
        IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
      },
      "VERIFIER STOP: work item queued for a device being deleted in IoQueueWorkItem");
  EXPECT_DEATH(
      {
        IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
        IoQueueWorkItem(item, routine, DelayedWorkQueue, nullptr);
      },
      "VERIFIER STOP: work item queued twice");
  IoFreeWorkItem(item);
}

TEST_F(IoVerifier, PoolOfARequestFreedWhileADriverHoldsIt) {
  TestStack stack({"device"});
  PIRP held = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  const USHORT size = IoSizeOfIrp(1);
  auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, 'prIT'));
  IoInitializeIrp(irp, size, 1);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
      TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_PENDING);
  EXPECT_DEATH(ExFreePoolWithTag(irp, 'prIT'), "VERIFIER STOP: memory of a request freed while a driver holds it");
  TestDevice::Complete(held, STATUS_SUCCESS);  // back with its owner: now the memory may go
  ExFreePoolWithTag(irp, 'prIT');
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(IoVerifier, RequestFreedWithMdlsAttachedOrWhileADriverBelowHoldsIt) {
  TestStack stack({"device"});
  static char data[64];
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        PMDL mdl = IoAllocateMdl(data, sizeof data, FALSE, FALSE, irp);
        MmBuildMdlForNonPagedPool(mdl);
        IoFreeIrp(irp);
      },
      "VERIFIER STOP: request freed with MDLs attached in IoFreeIrp");
  PIRP held = nullptr;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT, PIRP request, PVOID) NTAPI -> NTSTATUS {
        IoFreeIrp(request);  // back at the allocating driver's location: allowed
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_PENDING);
  EXPECT_DEATH(IoFreeIrp(irp), "VERIFIER STOP: request freed while still in use in IoFreeIrp .*stack location 1 of 1 was sent");
  TestDevice::Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(LiveIrps(), 0u);
}

// IoFreeIrp frees the packet only: a buffer the driver hung on the request stays the driver's.
TEST_F(IoVerifier, FreeingARequestLeavesTheDriversSystemBufferAlone) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  void* buffer = ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'fBsT');
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  IoFreeIrp(irp);
  memset(buffer, 0, 32);
  ExFreePoolWithTag(buffer, 'fBsT');
  EXPECT_EQ(kernel::PoolOutstanding('fBsT'), 0u);
}

TEST_F(IoVerifier, DeviceAndHandleRoutinesAbovePassiveLevelStop) {
  TestStack stack({"bottom", "top"});
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PDEVICE_OBJECT device = nullptr;
  EXPECT_DEATH(IoCreateDevice(&stack.Top().driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
               "VERIFIER STOP: called above PASSIVE_LEVEL in IoCreateDevice .*IRQL 2");
  EXPECT_DEATH(IoDetachDevice(stack.Bottom().device), "VERIFIER STOP: called above PASSIVE_LEVEL in IoDetachDevice");
  EXPECT_DEATH(IoDeleteDevice(stack.Top().device), "VERIFIER STOP: called above PASSIVE_LEVEL in IoDeleteDevice");
  KeLowerIrql(APC_LEVEL);
  EXPECT_DEATH(ZwClose(nullptr), "VERIFIER STOP: called above PASSIVE_LEVEL in ZwClose .*IRQL 1");
  KeLowerIrql(old);
}

TEST_F(IoVerifier, RequestCompletedWhileHoldingASpinLock) {
  TestStack stack({"device"});
  static KSPIN_LOCK lock = 0;
  stack.Top().handler = [](TestDevice&, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    TestDevice::Complete(irp, STATUS_SUCCESS);
    KeReleaseSpinLock(&lock, old);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(SendControl(stack.Top().device, kCode),
               "VERIFIER STOP: request completed while holding a spin lock in IofCompleteRequest .*release spin lock");
  stack.Top().handler = [](TestDevice&, PIRP irp) {  // the right order
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(SendControl(stack.Top().device, kCode).Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace tarvel::io::testing
