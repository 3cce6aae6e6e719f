// Time from the virtual clock: system time counts from a fixed boot date so runs are reproducible,
// interrupt time and the tick count from boot. Delays and stalls block on the timeline.
#include "ke/dispatcher.h"

using namespace tarvel::kernel;

namespace {

constexpr ULONG kTimeIncrement = 156'250;  // 15.625 ms, the platform's default clock tick

void SleepUntil(VirtualTime due, const char* kind, const char* routine) {
  exec::Thread* self = exec::Current();
  self->wait = exec::WaitFor(kind, routine);
  self->wait.hasDeadline = true;
  self->wait.deadline = exec::ScheduleAt(due, [self] {
    self->wait.hasDeadline = false;
    exec::Wake(self, STATUS_SUCCESS);
  });
  exec::Block();
}

}  // namespace

extern "C" {

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = ke::kBootSystemTime + Now(); }

ULONGLONG KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(Now()); }

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = Now() / kTimeIncrement; }

ULONG KeQueryTimeIncrement(VOID) { return kTimeIncrement; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = kSecond;
  LARGE_INTEGER counter;
  counter.QuadPart = Now();
  return counter;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  SwitchPoint();
  if (exec::Current()->irql > APC_LEVEL)
    VerifierStop("wait at DISPATCH_LEVEL", "KeDelayExecutionThread", Interval,
                 "IRQL " + std::to_string(exec::Current()->irql));
  SleepUntil(ke::DueTimeOf(Interval->QuadPart), "delay", "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

// The processor is busy for the interval: the clock moves on while other threads (processors) run.
VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
  SwitchPoint();
  SleepUntil(Now() + MicroSeconds * kMicrosecond, "stall", "KeStallExecutionProcessor");
}

}  // extern "C"
