// Races under the random policy, many seeds each: a lower driver completing at DISPATCH_LEVEL on
// another thread while the dispatch routine above is still running, and cancellation racing
// completion with exactly one winner.
#include <string>

#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr int kSeeds = 60;

struct Handoff {
  KEVENT ready;
  PIRP irp = nullptr;
};

// The bottom driver hands the request to a completer thread, which completes it at DISPATCH_LEVEL,
// and only then returns STATUS_PENDING; the middle driver propagates PendingReturned.
TEST(Races, LowerDriverCompletesAtDispatchLevelWhileTheDispatchRoutineRuns) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int completedBeforeReturn = 0, completedAfterReturn = 0;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    UnderSeed(seed, [&] {
      TestStack stack({"bottom", "middle", "top"});
      Handoff handoff;
      KeInitializeEvent(&handoff.ready, SynchronizationEvent, FALSE);
      bool bottomReturned = false, completedEarly = false;
      KIRQL routineIrql = 0xFF;
      stack[0].handler = [&](TestDevice&, PIRP irp) {
        IoMarkIrpPending(irp);
        handoff.irp = irp;
        KeSetEvent(&handoff.ready, IO_NO_INCREMENT, FALSE);
        for (int i = 0; i < 4; ++i) kernel::SwitchPoint();  // still inside the dispatch routine
        bottomReturned = true;
        return STATUS_PENDING;
      };
      stack[1].handler = [&](TestDevice& d, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP request, PVOID context) NTAPI -> NTSTATUS {
              *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
              if (request->PendingReturned) IoMarkIrpPending(request);
              return STATUS_CONTINUE_COMPLETION;
            },
            &routineIrql, TRUE, TRUE, TRUE);
        return IoCallDriver(d.lower, irp);
      };
      stack[2].handler = [](TestDevice& d, PIRP irp) { return d.PassDown(irp); };
      kernel::StartThread("completer", [&] {
        KeWaitForSingleObject(&handoff.ready, Executive, KernelMode, FALSE, nullptr);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        completedEarly = !bottomReturned;
        PIRP irp = handoff.irp;
        static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer)[0] = 0xC0FFEE;
        TestDevice::Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
        KeLowerIrql(old);
      });
      ULONG out = 0;
      NTSTATUS returned = 0;
      const IO_STATUS_BLOCK iosb = SendControl(stack.Top().device, kCode, nullptr, 0, &out, sizeof out, &returned);
      EXPECT_EQ(returned, STATUS_PENDING) << "seed " << seed;
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << "seed " << seed;
      EXPECT_EQ(out, 0xC0FFEEu) << "seed " << seed;
      EXPECT_EQ(routineIrql, DISPATCH_LEVEL) << "seed " << seed;
      (completedEarly ? completedBeforeReturn : completedAfterReturn)++;
      kernel::RunUntilIdle();
      EXPECT_EQ(LiveIrps(), 0u) << "seed " << seed;
    });
  }
  // The seeds must cover both interleavings, or this test proves nothing about the race.
  EXPECT_GT(completedBeforeReturn, 0);
  EXPECT_GT(completedAfterReturn, 0);
}

// A driver that keeps one request cancellable in a slot under its own lock and completes it from a
// device thread; the application cancels it at the same time. The interlocked exchange of the cancel
// routine decides who completes, and the slot's lock keeps the loser from touching the request.
struct Held {
  KSPIN_LOCK lock = 0;
  PIRP slot = nullptr;
  KEVENT ready;
  int completions = 0;
};

Held* held = nullptr;  // for the cancel routine, which has no context

void NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL old;
  KeAcquireSpinLock(&held->lock, &old);
  const bool ours = held->slot == irp;
  if (ours) held->slot = nullptr;
  KeReleaseSpinLock(&held->lock, old);
  if (ours) {
    ++held->completions;
    TestDevice::Complete(irp, STATUS_CANCELLED);
  }
}

TEST(Races, CancelRacingCompletionHasExactlyOneWinner) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int cancelledWins = 0, completionWins = 0;
  for (std::uint64_t seed = 1; seed <= kSeeds; ++seed) {
    UnderSeed(seed, [&] {
      TestStack stack({"bottom"});
      Held h;
      held = &h;
      KeInitializeEvent(&h.ready, NotificationEvent, FALSE);
      stack.Bottom().handler = [&](TestDevice&, PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL old;
        KeAcquireSpinLock(&h.lock, &old);
        (void)IoSetCancelRoutine(irp, CancelHeld);
        h.slot = irp;
        KeReleaseSpinLock(&h.lock, old);
        KeSetEvent(&h.ready, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
      };
      kernel::StartThread("device", [&] {
        KeWaitForSingleObject(&h.ready, Executive, KernelMode, FALSE, nullptr);
        KIRQL old;
        KeAcquireSpinLock(&h.lock, &old);
        PIRP irp = h.slot;
        // Without its cancel routine the request is ours; if the routine is gone, the cancel routine
        // owns the request and takes it out of the slot itself.
        if (irp != nullptr && IoSetCancelRoutine(irp, nullptr) != nullptr) {
          h.slot = nullptr;
        } else {
          irp = nullptr;
        }
        KeReleaseSpinLock(&h.lock, old);
        if (irp != nullptr) {
          KeRaiseIrql(DISPATCH_LEVEL, &old);
          ++h.completions;
          TestDevice::Complete(irp, STATUS_SUCCESS);
          KeLowerIrql(old);
        }
      });
      // The application side owns its request until its completion routine has run, so it may cancel
      // it at any time: the routine stops completion and the request is freed only afterwards.
      struct Owner {
        KEVENT done;
        IO_STATUS_BLOCK iosb;
      } owner{};
      KeInitializeEvent(&owner.done, NotificationEvent, FALSE);
      PIRP irp = IoAllocateIrp(stack.Bottom().device->StackSize, FALSE);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
      IoSetCompletionRoutine(
          irp, [](PDEVICE_OBJECT, PIRP request, PVOID context) NTAPI -> NTSTATUS {
            auto* o = static_cast<Owner*>(context);
            o->iosb = request->IoStatus;
            KeSetEvent(&o->done, IO_NO_INCREMENT, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
          },
          &owner, TRUE, TRUE, TRUE);
      ASSERT_EQ(IoCallDriver(stack.Bottom().device, irp), STATUS_PENDING);
      KeWaitForSingleObject(&h.ready, Executive, KernelMode, FALSE, nullptr);
      IoCancelIrp(irp);
      KeWaitForSingleObject(&owner.done, Executive, KernelMode, FALSE, nullptr);
      IoFreeIrp(irp);
      const IO_STATUS_BLOCK iosb = owner.iosb;
      kernel::RunUntilIdle();
      EXPECT_EQ(h.completions, 1) << "seed " << seed;
      EXPECT_TRUE(iosb.Status == STATUS_SUCCESS || iosb.Status == STATUS_CANCELLED) << "seed " << seed;
      (iosb.Status == STATUS_CANCELLED ? cancelledWins : completionWins)++;
      EXPECT_EQ(LiveIrps(), 0u) << "seed " << seed;
      held = nullptr;
    });
  }
  EXPECT_GT(cancelledWins, 0);
  EXPECT_GT(completionWins, 0);
}

}  // namespace
}  // namespace tarvel::io::testing
