// What a stopped run prints: every thread with its state, IRQL, wait and spin locks, and the command
// that replays the run with the same policy and seed.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "exec/machine.h"
#include "verifier/code_address.h"
#include "tarvel/verifier.h"

namespace tarvel::kernel::exec {
namespace {

std::string (*gDescribe)(const void*) = nullptr;

const char* IrqlName(unsigned irql) {
  switch (irql) {
    case kPassiveLevel: return "PASSIVE_LEVEL";
    case kApcLevel: return "APC_LEVEL";
    case kDispatchLevel: return "DISPATCH_LEVEL";
    default: return "DEVICE_LEVEL";
  }
}

const char* StateName(Thread::State state) {
  switch (state) {
    case Thread::State::Ready: return "ready";
    case Thread::State::Running: return "running";
    case Thread::State::Blocked: return "waiting";
    case Thread::State::Finished: return "finished";
  }
  return "?";
}

std::string Pointer(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string DescribeWait(const Thread& t) {
  const WaitInfo& w = t.wait;
  std::string text = w.idle ? "idle, waits for " : "waits on ";
  if (!w.kind || std::string(w.kind) != "object") text += w.kind ? w.kind : "?";
  for (unsigned i = 0; i < w.count; ++i) {
    text += i ? (w.waitAll ? " and " : " or ") : (w.kind && std::string(w.kind) == "object" ? "" : " ");
    if (w.kind && std::string(w.kind) == "spin lock") {
      text += Pointer(w.objects[i]) + " held by \"" + ThreadNameOwningSpinLock(w.objects[i]) + "\"";
    } else if (w.kind && std::string(w.kind) == "object" && gDescribe) {
      text += gDescribe(w.objects[i]);
    } else {
      text += Pointer(w.objects[i]);
    }
  }
  if (w.routine) text += std::string(" in ") + w.routine;
  if (w.caller) text += " called from " + verifier::DescribeCode(w.caller);
  if (w.hasDeadline) text += ", times out at " + FormatTime(w.deadline.due);
  else if (!w.idle) text += ", no timeout";
  return text;
}

}  // namespace

std::string FormatTime(VirtualTime t) {
  char text[48];
  std::snprintf(text, sizeof text, "%" PRId64 ".%07" PRId64 " s", t / kSecond, t % kSecond);
  return text;
}

void SetWaitObjectDescriber(std::string (*describe)(const void*)) { gDescribe = describe; }

std::string DescribeObject(const void* object) { return Pointer(object); }

std::string ThreadNameOwningSpinLock(const void* lock) {
  if (!IsBooted()) return "?";
  for (const auto& t : TheMachine().threads)
    for (const void* held : t->spinLocks)
      if (held == lock) return t->name;
  return "nobody";
}

std::string ThreadReport() {
  if (!IsBooted()) return "  (machine not booted)\n";
  std::ostringstream out;
  for (const auto& owned : TheMachine().threads) {
    const Thread& t = *owned;
    if (t.state == Thread::State::Finished) continue;
    // Idle system threads (workers without work, the DPC context) say nothing about the failure.
    if (t.system && ((t.state == Thread::State::Blocked && t.wait.idle) || (t.state == Thread::State::Ready && !t.ran)))
      continue;
    out << "  thread \"" << t.name << "\" (" << StateName(t.state) << ", " << IrqlName(t.irql);
    if (t.dpcDepth) out << ", in a DPC";
    out << ")";
    if (t.state == Thread::State::Blocked) out << ": " << DescribeWait(t);
    if (!t.spinLocks.empty()) {
      out << "; holds spin lock";
      for (const void* lock : t.spinLocks) out << " " << Pointer(lock);
    }
    out << "\n";
  }
  return out.str();
}

std::string ReplayLine() {
  std::string line = "replay: TARVEL_POLICY=" + PolicyText();
  line += " TARVEL_SEED=" + std::to_string(CurrentSeed());
  line += VerifierReplayEnvironment();
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(cmdline, arg, '\0');) args.push_back(arg);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // A death test's child adds internal flags and a filter of its own after the command's: replay the
    // test itself. Of a gtest flag given twice the last counts; every other argument is the command's.
    if (arg.rfind("--gtest_internal_run_death_test", 0) == 0 || arg.rfind("--gtest_death_test_style", 0) == 0 ||
        arg == "--gtest_also_run_disabled_tests")
      continue;
    if (arg.rfind("--gtest_", 0) == 0) {
      const std::string name = arg.substr(0, arg.find('='));
      if (std::any_of(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end(), [&name](const std::string& later) {
            return later == name || later.rfind(name + "=", 0) == 0;
          }))
        continue;
    }
    const bool quote = arg.find_first_of(" '\"*?$") != std::string::npos;
    line += quote ? " '" + arg + "'" : " " + arg;
  }
  return line;
}

void StopRun(const std::string& headline) {
  std::string text = headline;
  if (IsBooted()) text += " (virtual time " + FormatTime(Now()) + ")";
  text += "\n" + ThreadReport() + ReplayLine() + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace tarvel::kernel::exec

namespace tarvel::kernel {
std::string ReplayCommand() { return exec::ReplayLine(); }
}  // namespace tarvel::kernel
