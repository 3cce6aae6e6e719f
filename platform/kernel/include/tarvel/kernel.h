// The emulated kernel's internal interface: what platform components, tools and tests use to run the
// machine. Driver code never includes this; it sees only the driver-kit routines.
//
// Execution model: emulated threads are fibers on the host thread that booted the machine, of which
// exactly one runs at a time. The CPU changes hands only at switch points (every kernel routine that
// synchronises or hands work over), so platform data structures need no host mutexes. Time is virtual
// (100-ns units) and moves when nothing can run; under the random and pct policies it may also move at a
// switch point, as an interrupt would (see BootOptions). Every routine here must be called from an
// emulated thread unless it says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <vector>

struct _DRIVER_OBJECT;

namespace tarvel::kernel {

using VirtualTime = std::int64_t;  // 100-ns units since boot
constexpr VirtualTime kMicrosecond = 10, kMillisecond = 10'000, kSecond = 10'000'000;

// sequential: a thread runs until it blocks, then the oldest runnable one; the clock moves only when
//   nothing can run.
// random: at each switch point, with switchProbability, a random runnable thread runs instead.
// pct: probabilistic concurrency testing. Every thread has a random priority and the highest-priority
//   runnable thread always runs; at pctDepth - 1 switch points drawn at random from the first pctSteps,
//   the running thread drops below every other. A fault that needs d events in a given order is found
//   with a probability of at least 1 / (threads * pctSteps^(d-1)) per run for d <= pctDepth.
// Under random and pct, at a switch point a timeline entry due within interruptHorizon may fire with
// interruptProbability (timers, wait timeouts): the clock jumps while threads are mid-routine, as a
// hardware interrupt lands on a multiprocessor.
enum class Policy { Sequential, Random, Pct };

struct BootOptions {
  Policy policy = Policy::Sequential;
  std::uint64_t seed = 0;
  VirtualTime timeBudget = 3600 * kSecond;  // virtual time after which the run stops as runaway
  double switchProbability = 0.25;          // random policy: chance to switch at a switch point
  unsigned pctDepth = 3;                    // pct: the depth of the orderings aimed at
  std::uint64_t pctSteps = 20'000;          // pct: the switch points over which change points are drawn
  double interruptProbability = 0.05;       // random, pct: chance that a due-soon timeline entry fires
  // How far ahead of the clock an interrupt reaches: one USB frame, so that a thread is never held up
  // longer than a real processor busy with interrupts would be (a device without flow control would
  // lose bytes to a host that stalls for many frames at a time, which no driver can prevent).
  VirtualTime interruptHorizon = kMillisecond;
};

// Boots the machine and adopts the calling (non-emulated) thread as the emulated thread "app" at
// PASSIVE_LEVEL. TARVEL_POLICY (as ParsePolicy reads it) and TARVEL_SEED override the options, so any
// run can be replayed from the environment.
void Boot(const BootOptions& = {});
// Reads "sequential", "random", "pct", "pct:DEPTH" or "pct:DEPTH:STEPS" into options (policy, pctDepth,
// pctSteps). False, with options unchanged, for anything else. Callable outside the machine.
bool ParsePolicy(const std::string& text, BootOptions& options);
// The policy in force, written as ParsePolicy reads it ("random", "pct:3:20000").
std::string PolicyText();
// Lets everything runnable at the current time finish, stops the system threads and prints the pool
// leak report (if anything is outstanding) to stderr. Called by "app". The machine can be booted again.
void Shutdown();
bool Booted();
// The policy and seed in force after the environment was consulted (for reports and replay lines).
Policy CurrentPolicy();
std::uint64_t CurrentSeed();

VirtualTime Now();
// "replay: TARVEL_POLICY=random TARVEL_SEED=42 <this command line>", for failure messages of suites that
// run scenarios under many seeds (e.g. SCOPED_TRACE(ReplayCommand())).
std::string ReplayCommand();

// Called first by every synchronising routine; may hand the CPU to another thread or run pending DPCs.
void SwitchPoint();
// A new emulated thread at PASSIVE_LEVEL; it becomes runnable now and runs when the policy picks it.
void StartThread(std::string name, std::function<void()> body);
// The caller yields until nothing else can run at the current virtual time.
void RunUntilIdle();
// The caller sleeps for d of virtual time while everything else runs (like KeDelayExecutionThread).
void RunFor(VirtualTime d);
// What the machine has done since Boot (for the demonstration, benchmarks and reports).
struct Statistics {
  std::uint64_t switchPoints = 0;
  std::uint64_t threadSwitches = 0;  // the CPU actually handed to another thread
  std::uint64_t dpcsRun = 0;
  std::uint64_t timerExpiries = 0;   // timeline entries fired (timers and wait timeouts)
  std::uint64_t threadsStarted = 0;
  std::uint64_t interrupts = 0;      // switch points at which the clock moved while a thread ran
};
Statistics MachineStatistics();

// Name of the running emulated thread ("app", "worker.critical.0", "dpc", ...); "(none)" outside.
const char* CurrentThreadName();
bool InEmulatedThread();
// A value kept per emulated thread for the application side's last error (emulated threads share a
// host thread, so host thread-local storage does not tell them apart). Outside the machine: per host
// thread.
std::uint32_t& CurrentThreadLastError();

// Stops the run: prints `VERIFIER STOP: <rule> in <routine> on <object>: <detail>` plus the replay line
// and aborts the process.
[[noreturn]] void VerifierStop(const char* rule, const char* routine, const void* object, std::string detail = {});

// Verifier hooks for the I/O manager and others that call driver routines. A driver callback (dispatch,
// completion, DPC, cancel, work item) must return at the IRQL it was entered at and hold no spin lock it
// did not hold on entry. RunDriverCallback wraps the call and checks both.
unsigned char CurrentIrql();  // of the running thread (KeGetCurrentIrql)
unsigned SpinLocksHeld();     // by the running thread
void CheckNoSpinLocksHeld(const char* routine, const void* object);
void CheckIrqlBalanced(unsigned char irqlOnEntry, const char* routine, const void* object);
template <class F>
auto RunDriverCallback(const char* routine, const void* object, F&& call) -> decltype(call());
// Verifier stop if a set timer or a queued DPC lies in [begin, begin + size): for memory that is being
// freed or a device that is being deleted (ExFreePool calls it; so should IoDeleteDevice).
void CheckNothingQueuedIn(const char* routine, const void* begin, std::size_t size, const std::string& what);
// Called by ExFreePool with the range being freed (after the kernel's own checks of queued timers and
// DPCs), so other layers can refuse frees of memory that still holds e.g. a queued work item.
using FreeCheck = std::function<void(const char* routine, const void* begin, std::size_t size)>;
void AddFreeCheck(FreeCheck check);

// Fault injection, shared by every allocation site of the platform.
enum class FaultSite { Pool, Irp, Mdl, WorkItem, PowerIrp, Registry };
bool ShouldFail(FaultSite site, std::uint32_t tag = 0);  // every allocation site asks this first
void FailNth(FaultSite site, unsigned n, std::uint32_t tag = 0);  // n counts from 1; tag 0 = any tag
void FailRandom(FaultSite site, double p, std::uint64_t seed);
void ClearFaults();
std::uint64_t FaultsInjected();
std::uint64_t FaultSiteCalls(FaultSite site);  // how often ShouldFail was asked (for sweeps)

// Pool accounting (tags as the platform writes them, e.g. 'tsTv' read as the ULONG the driver passes).
std::size_t PoolOutstanding(std::uint32_t tag);       // allocations of the tag not yet freed
std::size_t PoolOutstandingBytes(std::uint32_t tag);
std::size_t PoolOutstandingTotal();
std::string PoolLeakReport();                          // empty if nothing is outstanding
bool InPagedPool(const void* address);                 // inside an outstanding paged-pool block
// Verifier stop ("pool leak") naming each tag that still has allocations outstanding.
void CheckPoolLeaks(const char* routine, const void* object, std::initializer_list<std::uint32_t> tags);
std::string TagName(std::uint32_t tag);                // 'tsTv' -> "vTst" as the pool shows it

// System worker threads (for IoQueueWorkItem and platform components): the work runs at PASSIVE_LEVEL
// on a worker thread of the queue. Idle workers do not count as waiting in hang detection.
enum class WorkQueue { Critical, Delayed, HyperCritical };
void QueueWork(WorkQueue queue, std::function<void()> work);

// Work from a thread outside the machine (e.g. a console reader): runs fn on an emulated thread. Safe to
// call from any thread. While at least one external source is open, a machine with nothing to do waits
// for posted work in real time instead of reporting a hang.
void Post(std::function<void()> fn);
void OpenExternalSource();
void CloseExternalSource();

// A record of what the kernel did, for the demonstration and for tests (off unless a sink is set).
struct TraceEvent {
  VirtualTime time;
  std::string thread;
  std::string what;
};
void SetTraceSink(std::function<void(const TraceEvent&)> sink);  // empty function turns tracing off
bool Tracing();
void Trace(std::string what);

// Which build of a driver LoadDriver runs: the Linux module <service>.so (Module) or the Windows image
// <service>.sys that the build cross-compiles (Pe), mapped and bound to the kernel's exports as the
// platform's loader does. SetImageKind decides; without it TARVEL_IMAGES=module|pe in the environment
// does (module when unset), so that the same tests run on either.
enum class ImageKind { Module, Pe };
void SetImageKind(ImageKind kind);
ImageKind CurrentImageKind();
bool ParseImageKind(const std::string& text, ImageKind& kind);  // "module" or "pe"
const char* ImageKindName(ImageKind kind);
// Folders (separated by ':') searched for <service>.sys: TARVEL_IMAGE_DIR in the environment, else
// SetImageDirectory, else the build's windows/package and windows/tests/drivers.
void SetImageDirectory(std::string dirs);

// Driver loader: loads <service>.so from the driver directory (TARVEL_DRIVER_DIR in the environment,
// else SetDriverDirectory, else the build's drivers folder), or <service>.sys (see ImageKind), builds the
// DRIVER_OBJECT and calls DriverEntry with "\Registry\Machine\System\CurrentControlSet\Services\<service>".
// An image's discardable sections (INIT) are freed when DriverEntry returns. Returns nullptr with the
// reason in LastLoadError() if the driver or its entry point is missing, an image imports a routine the
// kernel does not export, or DriverEntry fails.
_DRIVER_OBJECT* LoadDriver(const char* service);
// Calls DriverUnload, checks that no timer or DPC of the driver is still queued and that none of its
// pool allocations is outstanding (verifier stops), then unloads the module.
void UnloadDriver(_DRIVER_OBJECT* driver);
std::vector<_DRIVER_OBJECT*> LoadedDrivers();
_DRIVER_OBJECT* FindDriver(const char* service);
void SetDriverDirectory(std::string dir);
std::string LastLoadError();
// The loaded module whose code contains address, or nullptr (used to attribute pool to drivers).
_DRIVER_OBJECT* DriverOwningAddress(const void* address);

template <class F>
auto RunDriverCallback(const char* routine, const void* object, F&& call) -> decltype(call()) {
  const unsigned char irql = CurrentIrql();
  const unsigned locks = SpinLocksHeld();
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    CheckIrqlBalanced(irql, routine, object);
    if (SpinLocksHeld() > locks) CheckNoSpinLocksHeld(routine, object);
  } else {
    auto result = call();
    CheckIrqlBalanced(irql, routine, object);
    if (SpinLocksHeld() > locks) CheckNoSpinLocksHeld(routine, object);
    return result;
  }
}

}  // namespace tarvel::kernel
