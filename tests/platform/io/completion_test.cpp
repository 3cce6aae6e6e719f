// Completion through a stack of three test drivers: which completion routines run, in which order,
// with which device object, and how PendingReturned travels up.
#include <string>
#include <vector>

#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using Completion = IoTest;
constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS);

struct RoutineContext {
  std::vector<std::string>* log;
  std::string name;
  NTSTATUS result = STATUS_CONTINUE_COMPLETION;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* c = static_cast<RoutineContext*>(context);
  c->log->push_back(c->name + (device != nullptr ? "" : " without device") + (irp->PendingReturned ? " pending" : "") +
                    (irp->Cancel ? " cancel" : ""));
  if (irp->PendingReturned && c->result != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
  return c->result;
}

// Each driver passes the request down with a completion routine of the given flags; the bottom one
// completes it with `status` (after the test has cancelled it, if asked).
struct Flags {
  bool success, error, cancel;
};

std::vector<std::string> RunStack(TestStack& stack, Flags top, Flags middle, NTSTATUS status, bool cancelled) {
  RoutineContext topContext{&stack.log, "top"}, middleContext{&stack.log, "middle"};
  auto forward = [](RoutineContext* context, Flags flags) {
    return [context, flags](TestDevice& d, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Record, context, flags.success, flags.error, flags.cancel);
      return IoCallDriver(d.lower, irp);
    };
  };
  stack[2].handler = forward(&topContext, top);
  stack[1].handler = forward(&middleContext, middle);
  stack[0].handler = [&, status, cancelled](TestDevice&, PIRP irp) {
    if (cancelled) irp->Cancel = TRUE;
    TestDevice::Complete(irp, status);
    return status;
  };
  const IO_STATUS_BLOCK iosb = SendControl(stack.Top().device, kCode);
  EXPECT_EQ(iosb.Status, status);
  return stack.log;
}

using Log = std::vector<std::string>;

TEST_F(Completion, RoutinesRunFromTheLowestLocationUpByTheirInvokeFlags) {
  {
    TestStack stack({"bottom", "middle", "top"});
    EXPECT_EQ(RunStack(stack, {true, true, true}, {true, true, true}, STATUS_SUCCESS, false), (Log{"middle", "top"}));
  }
  {
    TestStack stack({"bottom", "middle", "top"});
    EXPECT_EQ(RunStack(stack, {false, true, false}, {true, false, false}, STATUS_SUCCESS, false), (Log{"middle"}))
        << "an error-only routine is skipped on success";
  }
  {
    TestStack stack({"bottom", "middle", "top"});
    EXPECT_EQ(RunStack(stack, {false, true, false}, {true, false, false}, STATUS_IO_DEVICE_ERROR, false), (Log{"top"}))
        << "a success-only routine is skipped on error";
  }
  {
    TestStack stack({"bottom", "middle", "top"});
    EXPECT_EQ(RunStack(stack, {true, false, false}, {false, false, true}, STATUS_CANCELLED, true),
              (Log{"middle cancel"}))
        << "a cancel-only routine runs for a cancelled request; the success-only one does not on its error status";
  }
  {
    TestStack stack({"bottom", "middle", "top"});
    EXPECT_EQ(RunStack(stack, {false, false, true}, {false, false, true}, STATUS_SUCCESS, false), Log{})
        << "cancel-only routines are skipped when the request was not cancelled";
  }
  {
    // Warnings are not success: STATUS_BUFFER_OVERFLOW goes to error routines.
    TestStack stack({"bottom", "middle", "top"});
    EXPECT_EQ(RunStack(stack, {true, false, false}, {false, true, false}, STATUS_BUFFER_OVERFLOW, false), (Log{"middle"}));
  }
}

TEST_F(Completion, RoutineGetsTheDeviceOfTheDriverThatSetItAndAnOriginatorRoutineGetsNone) {
  TestStack stack({"bottom", "top"});
  PDEVICE_OBJECT seen = reinterpret_cast<PDEVICE_OBJECT>(1), originatorSeen = reinterpret_cast<PDEVICE_OBJECT>(1);
  stack.Top().handler = [&](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT device, PIRP, PVOID context) NTAPI -> NTSTATUS {
          *static_cast<PDEVICE_OBJECT*>(context) = device;
          return STATUS_CONTINUE_COMPLETION;
        },
        &seen, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  // The originator allocates its own request and puts its routine into the first location.
  PIRP irp = IoAllocateIrp(stack.Top().device->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(irp->StackCount, 2);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT device, PIRP request, PVOID context) NTAPI -> NTSTATUS {
        *static_cast<PDEVICE_OBJECT*>(context) = device;
        IoFreeIrp(request);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &originatorSeen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen, stack.Top().device);
  EXPECT_EQ(originatorSeen, nullptr);
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(Completion, PendingReturnedTravelsUpToTheOriginator) {
  TestStack stack({"bottom", "middle", "top"});
  PIRP held = nullptr;
  RoutineContext middleContext{&stack.log, "middle"};
  stack[0].handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  stack[1].handler = [&](TestDevice& d, PIRP irp) {  // propagates PendingReturned in its routine
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &middleContext, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  stack[2].handler = [](TestDevice& d, PIRP irp) { return d.PassDown(irp); };  // no routine: the I/O manager carries it

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, stack.Top().device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  ASSERT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "nothing is signalled before the bottom driver completes";
  ASSERT_NE(held, nullptr);
  held->IoStatus.Information = 7;
  TestDevice::Complete(held, STATUS_SUCCESS, 7);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_EQ(stack.log, Log{"middle pending"});
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(Completion, PendingReturnedIsCarriedThroughLocationsWithoutARoutine) {
  TestStack stack({"bottom", "middle", "top"});
  PIRP held = nullptr;
  RoutineContext topContext{&stack.log, "top"};
  stack[0].handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  stack[1].handler = [](TestDevice& d, PIRP irp) {  // its own location, no routine: the I/O manager marks it
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(d.lower, irp);
  };
  stack[2].handler = [&](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &topContext, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, stack.Top().device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  ASSERT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_PENDING);
  TestDevice::Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(stack.log, Log{"top pending"});
}

TEST_F(Completion, SynchronousCompletionIsNotPendingAnywhere) {
  TestStack stack({"bottom", "middle", "top"});
  RoutineContext middleContext{&stack.log, "middle"};
  stack[1].handler = [&](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &middleContext, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  stack[2].handler = [](TestDevice& d, PIRP irp) { return d.PassDown(irp); };
  NTSTATUS returned = 0;
  const IO_STATUS_BLOCK iosb = SendControl(stack.Top().device, kCode, nullptr, 0, nullptr, 0, &returned);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(stack.log, Log{"middle"});
}

// The synchronous forwarding pattern: the routine stops completion, the dispatch routine waits and
// completes the request again; the routines above run only after that second completion.
TEST_F(Completion, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain) {
  TestStack stack({"bottom", "middle", "top"});
  RoutineContext topContext{&stack.log, "top"};
  PIRP held = nullptr;
  stack[0].handler = [&](TestDevice&, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  struct Waiter {
    KEVENT event;
    std::vector<std::string>* log;
  } waiter{};
  waiter.log = &stack.log;
  KeInitializeEvent(&waiter.event, NotificationEvent, FALSE);
  stack[1].handler = [&](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP request, PVOID context) NTAPI -> NTSTATUS {
          auto* w = static_cast<Waiter*>(context);
          w->log->push_back(std::string("middle stops") + (request->PendingReturned ? " pending" : ""));
          if (request->PendingReturned) IoMarkIrpPending(request);  // the common form of the pattern
          KeSetEvent(&w->event, IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &waiter, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(d.lower, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&waiter.event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    stack.log.push_back("middle completes again");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  stack[2].handler = [&](TestDevice& d, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &topContext, TRUE, TRUE, TRUE);
    return IoCallDriver(d.lower, irp);
  };
  // The bottom completes from another thread while the middle driver waits.
  kernel::StartThread("completer", [&] {
    while (held == nullptr) kernel::RunFor(kernel::kMillisecond);
    TestDevice::Complete(held, STATUS_SUCCESS, 3);
  });
  NTSTATUS returned = 0;
  const IO_STATUS_BLOCK iosb = SendControl(stack.Top().device, kCode, nullptr, 0, nullptr, 0, &returned);
  EXPECT_EQ(returned, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(stack.log, (Log{"middle stops pending", "middle completes again", "top pending"}));
}

TEST_F(Completion, LocationsAreClearedAsCompletionPassesThem) {
  TestStack stack({"bottom", "top"});
  PIRP irp = IoAllocateIrp(stack.Top().device->StackSize, FALSE);
  PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
  first->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  first->Parameters.DeviceIoControl.IoControlCode = kCode;
  struct Seen {
    UCHAR control = 0xFF;
    PVOID argument = reinterpret_cast<PVOID>(1);
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
  } seen;
  stack.Top().handler = [](TestDevice& d, PIRP request) {
    IoCopyCurrentIrpStackLocationToNext(request);
    return IoCallDriver(d.lower, request);
  };
  stack.Bottom().handler = [](TestDevice&, PIRP request) {
    IoGetCurrentIrpStackLocation(request)->FileObject = reinterpret_cast<PFILE_OBJECT>(0x10);
    TestDevice::Complete(request, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP request, PVOID context) NTAPI -> NTSTATUS {
        // The bottom driver's location (the one below the originator's first) has been cleared.
        auto* s = static_cast<Seen*>(context);
        PIO_STACK_LOCATION bottom = reinterpret_cast<PIO_STACK_LOCATION>(request + 1);
        s->control = bottom->Control;
        s->argument = bottom->Parameters.Others.Argument3;
        s->file = bottom->FileObject;
        IoFreeIrp(request);
        return STATUS_MORE_PROCESSING_REQUIRED;
      },
      &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top().device, irp), STATUS_SUCCESS);
  EXPECT_EQ(seen.control, 0);
  EXPECT_EQ(seen.argument, nullptr) << "the control code (Argument3) is cleared like the rest of the parameters";
  EXPECT_EQ(seen.file, nullptr);
}

}  // namespace
}  // namespace tarvel::io::testing
