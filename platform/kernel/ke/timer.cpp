// Timers on the virtual clock: a set timer is an entry on the machine's timeline; at its due time it
// becomes signaled, releases its waiters, queues its DPC and, if periodic, sets itself again.
#include <unordered_map>

#include "ke/dispatcher.h"

namespace tarvel::kernel::ke {
namespace {

std::unordered_map<PKTIMER, exec::TimelineKey> gSetTimers;

void Arm(PKTIMER timer, VirtualTime due);

void Expire(PKTIMER timer) {
  gSetTimers.erase(timer);
  const LONGLONG systemTime = kBootSystemTime + Now();
  timer->Header.SignalState = 1;
  if (timer->Period) Arm(timer, Now() + LONGLONG{timer->Period} * kMillisecond);
  WakeWaitersOf(&timer->Header);
  if (timer->Dpc)
    QueueDpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime & 0xffffffff)),
             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime >> 32)));
}

void Arm(PKTIMER timer, VirtualTime due) {
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(kBootSystemTime + due);
  gSetTimers[timer] = exec::ScheduleAt(due, [timer] { Expire(timer); });
}

bool Cancel(PKTIMER timer) {
  auto it = gSetTimers.find(timer);
  if (it == gSetTimers.end()) return false;
  exec::Unschedule(it->second);
  gSetTimers.erase(it);
  return true;
}

void Boot() { gSetTimers.clear(); }
const exec::ComponentRegistration gRegistration{{"timers", Boot, nullptr}};

}  // namespace

const void* QueuedTimerIn(const void* begin, std::size_t size) {
  const auto* b = static_cast<const char*>(begin);
  for (const auto& [timer, key] : gSetTimers) {
    const auto* p = reinterpret_cast<const char*>(timer);
    if (p + sizeof(KTIMER) > b && p < b + size) return timer;
  }
  return nullptr;
}

const void* QueuedTimerWithRoutineIn(const void* begin, const void* end) {
  for (const auto& [timer, key] : gSetTimers) {
    if (!timer->Dpc) continue;
    const auto* r = reinterpret_cast<const char*>(timer->Dpc->DeferredRoutine);
    if (r >= static_cast<const char*>(begin) && r < static_cast<const char*>(end)) return timer;
  }
  return nullptr;
}

}  // namespace tarvel::kernel::ke

namespace tarvel::kernel {

void CheckNothingQueuedIn(const char* routine, const void* begin, std::size_t size, const std::string& what) {
  if (const void* timer = ke::QueuedTimerIn(begin, size))
    VerifierStop("timer still set in memory being freed", routine, timer,
                 what + " holds a timer that has not expired or been cancelled");
  if (const void* dpc = ke::QueuedDpcIn(begin, size))
    VerifierStop("DPC still queued in memory being freed", routine, dpc,
                 what + " holds a DPC that has not run or been removed");
}

}  // namespace tarvel::kernel

using namespace tarvel::kernel;

extern "C" {

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  // The timer is on the platform's timer list: initialising it again corrupts that list.
  if (ke::gSetTimers.count(Timer))
    VerifierStop("set timer initialised again", "KeInitializeTimerEx", Timer,
                 "cancel it (KeCancelTimer) before initialising it again");
  Timer->Header.Type = Type == NotificationTimer ? ke::kTimerNotificationObject : ke::kTimerSynchronizationObject;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  SwitchPoint();
  if (Period < 0) VerifierStop("negative timer period", "KeSetTimerEx", Timer, std::to_string(Period));
  const bool wasSet = ke::Cancel(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = static_cast<ULONG>(Period);
  ke::Arm(Timer, ke::DueTimeOf(DueTime.QuadPart));
  return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  SwitchPoint();
  return ke::Cancel(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  SwitchPoint();
  return Timer->Header.SignalState > 0;
}

}  // extern "C"
