// Handing the CPU between emulated threads: exactly one runs; the others are suspended fibers until the
// running one switches to them at a switch point or when it blocks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "exec/machine.h"

namespace tarvel::kernel::exec {
namespace {

constexpr std::int32_t kStatusSuccess = 0;
constexpr std::int32_t kStatusTimeout = 0x102;

Machine* gMachine = nullptr;
Thread* gRunning = nullptr;
// The emulated thread running on this host thread: the running one on the host thread that booted the
// machine, nobody on any other (initial-exec: the kernel library is never dlopen'ed).
thread_local Thread* tSelf __attribute__((tls_model("initial-exec"))) = nullptr;
// The application side's last error for callers outside the machine.
thread_local std::uint32_t tHostLastError = 0;
DpcHooks gDpcHooks;
void (*gIrqlObserver)(unsigned char) = nullptr;

[[noreturn]] void OutsideCall(const char* what) {
  VerifierStop("kernel routine called outside the machine", what, nullptr,
               gMachine ? "the caller is not the running emulated thread" : "the machine is not booted");
}

void HandOver(Thread* self, Thread* next) {
  next->state = Thread::State::Running;
  next->stepsWithoutYield = 0;
  gRunning = next;
  if (next == self) return;
  ++gMachine->statistics.threadSwitches;
  if (gIrqlObserver && next->irql != self->irql) gIrqlObserver(next->irql);
  SwitchFiber(self->fiber, next->fiber, self->state == Thread::State::Finished);
  tSelf = self;  // running again
}

Thread* TakeReady(Machine& m) {
  const std::size_t index = PickReady(m);
  Thread* next = m.ready[index];
  m.ready.erase(m.ready.begin() + static_cast<std::ptrdiff_t>(index));
  return next;
}

bool SomeoneReallyWaits(const Machine& m) {
  return std::any_of(m.waiters.begin(), m.waiters.end(), [](const Thread* t) { return !t->wait.idle; });
}

// Fires every timeline entry that is due at the (new) current time.
void FireDue(Machine& m) {
  while (!m.timeline.empty() && m.timeline.begin()->first.due <= m.now) {
    auto node = m.timeline.extract(m.timeline.begin());
    ++m.statistics.timerExpiries;
    node.mapped()();
  }
}

// With an outside source open, virtual time may not run ahead of real time (a console user expects
// a 1-second timeout to take a second). Returns false if posted work arrived while waiting.
bool PaceTo(Machine& m, VirtualTime due) {
  std::unique_lock lock(BatonMutex());
  if (m.externalSources == 0) return true;
  const auto target = m.paceAnchorReal + std::chrono::nanoseconds((due - m.paceAnchorVirtual) * 100);
  return !m.postedArrived.wait_until(lock, target, [&m] { return !m.posted.empty(); });
}

bool WaitForOutside(Machine& m) {
  std::unique_lock lock(BatonMutex());
  if (m.externalSources == 0) return false;
  m.postedArrived.wait(lock, [&m] { return !m.posted.empty() || m.externalSources == 0; });
  return true;
}

Thread* PickNext(Machine& m) {
  for (;;) {
    if (!m.timeline.empty() && m.timeline.begin()->first.due <= m.now) FireDue(m);  // due without a wait
    if (m.dpcThread && gDpcHooks.pending() && m.dpcThread->state == Thread::State::Blocked &&
        m.dpcThread->wait.idle) {
      Wake(m.dpcThread, kStatusSuccess);
      m.ready.pop_back();
      return m.dpcThread;
    }
    if (!m.ready.empty()) return TakeReady(m);
    if (!m.idleCallers.empty()) {
      Thread* caller = m.idleCallers.front();
      m.idleCallers.pop_front();
      caller->waitStatus = kStatusSuccess;
      return caller;
    }
    if (m.postedPending.load() && m.postThread && m.postThread->state == Thread::State::Blocked) {
      Wake(m.postThread, kStatusSuccess);
      continue;
    }
    if (!m.timeline.empty()) {
      const VirtualTime due = std::max(m.now, m.timeline.begin()->first.due);
      if (due > m.options.timeBudget)
        StopRun("RUNAWAY: the virtual-time budget of " + std::to_string(m.options.timeBudget / kSecond) +
                " s is exhausted (a timer that re-arms forever, or a wait that never ends)");
      if (!PaceTo(m, due)) continue;
      m.now = due;
      FireDue(m);
      continue;
    }
    if (WaitForOutside(m)) continue;
    if (SomeoneReallyWaits(m))
      StopRun("HANG: no thread can run and no timer is due, but threads wait");
    return nullptr;
  }
}

[[noreturn]] void FiberMain(void* argument) {
  auto* self = static_cast<Thread*>(argument);
  tSelf = self;
  self->ran = true;
  self->body();
  self->body = nullptr;
  self->state = Thread::State::Finished;
  Reschedule(self);  // switches away for good
  std::abort();
}

Thread* NewThread(Machine& m, std::string name, std::function<void()> body, bool system) {
  auto owned = std::make_unique<Thread>();
  Thread* t = owned.get();
  t->id = ++m.nextThreadId;
  t->name = std::move(name);
  t->system = system;
  t->body = std::move(body);
  m.threads.push_back(std::move(owned));
  PrepareFiber(t->fiber, FiberMain, t);
  AdmitThread(m, t);
  ++m.statistics.threadsStarted;
  t->state = Thread::State::Ready;
  m.ready.push_back(t);
  return t;
}

void RunDpcContext() {
  Machine& m = TheMachine();
  Thread* self = Current();
  for (;;) {
    while (gDpcHooks.pending()) gDpcHooks.drain();
    if (m.stopping) return;
    self->wait = WaitFor("DPC queue", "DPC context", true);
    Block();
  }
}

}  // namespace

Machine& TheMachine() { return *gMachine; }
std::mutex& BatonMutex() {
  static std::mutex mutex;
  return mutex;
}
Thread* Current() { return gRunning; }
bool IsBooted() { return gMachine != nullptr; }
bool Stopping() { return gMachine->stopping; }
const std::vector<Thread*>& Waiters() { return gMachine->waiters; }
void SetDpcHooks(DpcHooks hooks) { gDpcHooks = hooks; }
void NoteDpcRun() { ++gMachine->statistics.dpcsRun; }
void SetIrqlObserver(void (*observer)(unsigned char)) { gIrqlObserver = observer; }

void SetIrql(Thread* thread, unsigned char irql) {
  thread->irql = irql;
  if (thread == gRunning && gIrqlObserver) gIrqlObserver(irql);
}

void Reschedule(Thread* self) {
  Thread* next = PickNext(*gMachine);
  if (!next) StopRun("the machine has nothing left to run");
  HandOver(self, next);
}

void Block() {
  Machine& m = *gMachine;
  Thread* self = gRunning;
  self->state = Thread::State::Blocked;
  self->waitOrder = ++m.nextWaitOrder;
  m.waiters.push_back(self);
  Reschedule(self);
}

void Wake(Thread* thread, std::int32_t status) {
  Machine& m = *gMachine;
  auto it = std::find(m.waiters.begin(), m.waiters.end(), thread);
  if (it != m.waiters.end()) m.waiters.erase(it);
  if (thread->wait.hasDeadline) {
    Unschedule(thread->wait.deadline);
    thread->wait.hasDeadline = false;
  }
  thread->waitStatus = status;
  thread->state = Thread::State::Ready;
  m.ready.push_back(thread);
}

TimelineKey ScheduleAt(VirtualTime due, std::function<void()> fire) {
  Machine& m = *gMachine;
  TimelineKey key{std::max(due, m.now), ++m.nextTimelineSequence};
  m.timeline.emplace(key, std::move(fire));
  return key;
}

bool Unschedule(const TimelineKey& key) { return gMachine->timeline.erase(key) > 0; }
bool IsScheduled(const TimelineKey& key) { return gMachine->timeline.count(key) > 0; }

Thread* StartSystemThread(std::string name, std::function<void()> body) {
  return NewThread(*gMachine, std::move(name), std::move(body), true);
}

}  // namespace tarvel::kernel::exec

namespace tarvel::kernel {
using namespace exec;

namespace {

std::vector<Component>& Components() {
  static std::vector<Component> components;
  return components;
}

void PolicyFromEnvironment(BootOptions& options) {
  const char* value = std::getenv("TARVEL_POLICY");
  if (!value || !*value) return;
  if (ParsePolicy(value, options)) return;
  std::fprintf(stderr, "TARVEL_POLICY=%s is none of sequential, random, pct, pct:DEPTH, pct:DEPTH:STEPS\n", value);
  std::abort();
}

std::uint64_t SeedFromEnvironment(std::uint64_t fallback) {
  const char* value = std::getenv("TARVEL_SEED");
  if (!value || !*value) return fallback;
  char* end = nullptr;
  const std::uint64_t seed = std::strtoull(value, &end, 0);
  if (*end) {
    std::fprintf(stderr, "TARVEL_SEED=%s is not a number\n", value);
    std::abort();
  }
  return seed;
}

}  // namespace

void exec::RegisterComponent(Component component) { Components().push_back(component); }

void Boot(const BootOptions& options) {
  if (gMachine) VerifierStop("boot of a running machine", "Boot", nullptr, "call Shutdown first");
  if (tSelf) VerifierStop("boot from an emulated thread", "Boot", nullptr);
  auto* m = new Machine;
  m->options = options;
  PolicyFromEnvironment(m->options);
  m->options.seed = SeedFromEnvironment(options.seed);
  StartPolicy(*m);
  gMachine = m;
  auto app = std::make_unique<Thread>();
  app->id = ++m->nextThreadId;
  app->name = "app";
  app->state = Thread::State::Running;
  m->app = app.get();
  AdmitThread(*m, m->app);
  m->threads.push_back(std::move(app));
  tSelf = m->app;
  gRunning = m->app;
  if (gDpcHooks.pending) m->dpcThread = StartSystemThread("dpc", RunDpcContext);
  m->postThread = StartSystemThread("post", RunPostedWork);
  for (const Component& c : Components())
    if (c.boot) c.boot();
}

void Shutdown() {
  Machine& m = *gMachine;
  Thread* self = tSelf;
  if (!gMachine || self != m.app || gRunning != self)
    VerifierStop("shutdown from the wrong thread", "Shutdown", nullptr, "only \"app\" shuts the machine down");
  RunUntilIdle();
  for (auto it = Components().rbegin(); it != Components().rend(); ++it)
    if (it->shutdown) it->shutdown();
  m.stopping = true;
  self->priority = 0;  // pct: the system threads finish before "app" runs on
  for (;;) {
    std::vector<Thread*> idle;
    for (Thread* t : m.waiters)
      if (t->system && t->wait.idle) idle.push_back(t);
    for (Thread* t : idle) Wake(t, kStatusSuccess);
    if (m.ready.empty()) break;
    self->state = Thread::State::Ready;
    m.ready.push_back(self);
    Reschedule(self);
  }
  // Threads still blocked now wait for something that will never come; they stay parked. Never
  // destroyed, nor their stacks reused: what they wait on may live on those stacks, and other memory
  // may still point there.
  static auto& abandoned = *new std::vector<std::unique_ptr<Thread>>;
  for (auto& t : m.threads) {
    if (t.get() == m.app || t->state == Thread::State::Finished) continue;
    std::fprintf(stderr, "tarvel: thread \"%s\" still waits at shutdown; abandoned\n", t->name.c_str());
    AbandonFiber(t->fiber);
    abandoned.push_back(std::move(t));
  }
  tSelf = nullptr;
  gRunning = nullptr;
  gMachine = nullptr;
  delete &m;
}

bool Booted() { return gMachine != nullptr; }
Statistics MachineStatistics() { return gMachine ? gMachine->statistics : Statistics{}; }
Policy CurrentPolicy() { return gMachine ? gMachine->options.policy : Policy::Sequential; }
std::uint64_t CurrentSeed() { return gMachine ? gMachine->options.seed : 0; }
VirtualTime Now() { return gMachine ? gMachine->now : 0; }
bool InEmulatedThread() { return tSelf != nullptr && tSelf == gRunning; }
std::uint32_t& CurrentThreadLastError() { return InEmulatedThread() ? tSelf->lastError : tHostLastError; }
const char* CurrentThreadName() { return InEmulatedThread() ? tSelf->name.c_str() : "(none)"; }

void SwitchPoint() {
  Thread* self = gRunning;
  if (!self || tSelf != self) OutsideCall("SwitchPoint");
  Machine& m = *gMachine;
  ++m.statistics.switchPoints;
  if (InterruptAtPoint(m)) {
    m.now = std::max(m.now, m.timeline.begin()->first.due);
    ++m.statistics.interrupts;
    FireDue(m);
  }
  if (self->irql < kDispatchLevel && gDpcHooks.pending && gDpcHooks.pending()) gDpcHooks.drain();
  if (!SwitchAtPoint(m, self)) return;
  self->state = Thread::State::Ready;
  m.ready.push_back(self);
  Reschedule(self);
}

void StartThread(std::string name, std::function<void()> body) {
  SwitchPoint();
  NewThread(*gMachine, std::move(name), std::move(body), false);
}

void RunUntilIdle() {
  Thread* self = gRunning;
  if (!self || tSelf != self) OutsideCall("RunUntilIdle");
  self->state = Thread::State::Blocked;
  self->wait = WaitFor("idle machine", "RunUntilIdle");
  gMachine->idleCallers.push_back(self);
  Reschedule(self);
}

void RunFor(VirtualTime d) {
  Thread* self = gRunning;
  if (!self || tSelf != self) OutsideCall("RunFor");
  SwitchPoint();
  self->wait = WaitFor("delay", "RunFor");
  self->wait.hasDeadline = true;
  self->wait.deadline = ScheduleAt(Now() + std::max<VirtualTime>(d, 0), [self] {
    self->wait.hasDeadline = false;
    Wake(self, kStatusTimeout);
  });
  Block();
}

}  // namespace tarvel::kernel
