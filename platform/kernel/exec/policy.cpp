// The scheduling policies' choices: whether the running thread gives the CPU up at a switch point,
// which runnable thread runs next, and when an interrupt lands. Every choice comes from the run's seed,
// so a run replays exactly.
#include <algorithm>
#include <charconv>
#include <mutex>

#include "exec/machine.h"

namespace tarvel::kernel::exec {
namespace {

// pct: a thread that goes this many switch points without blocking while others could run drops to
// the lowest priority, so that a thread that polls (instead of waiting) does not starve the one it
// polls for. Far above the switch points of any single request path.
constexpr std::uint64_t kPctStarvationSteps = 20'000;
constexpr std::uint64_t kPctStarvedPriority = 0;

std::uint64_t InitialPriority(Machine& m) {
  // Above every change point's priority (1 .. depth - 1); distinct in practice, ties go to the older.
  return m.options.pctDepth + (m.rng() >> 1);
}

std::size_t HighestReady(const Machine& m) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < m.ready.size(); ++i)
    if (m.ready[i]->priority > m.ready[best]->priority) best = i;
  return best;
}

}  // namespace

void StartPolicy(Machine& m) {
  m.rng.seed(m.options.seed);
  m.interruptRng.seed(m.options.seed ^ 0x6A09E667F3BCC909ull);
  m.pct = {};
  if (m.options.policy != Policy::Pct) return;
  // d - 1 distinct change points among the first pctSteps switch points; the i-th drawn lowers the
  // running thread to priority i.
  const std::uint64_t steps = std::max<std::uint64_t>(m.options.pctSteps, 1);
  const unsigned changes = m.options.pctDepth > 1 ? m.options.pctDepth - 1 : 0;
  for (unsigned i = 0; i < changes && i < steps; ++i) {
    std::uint64_t step;
    do step = 1 + m.rng() % steps;
    while (std::any_of(m.pct.changes.begin(), m.pct.changes.end(), [step](const auto& c) { return c.step == step; }));
    m.pct.changes.push_back({step, i + 1});
  }
  std::sort(m.pct.changes.begin(), m.pct.changes.end(), [](const auto& a, const auto& b) { return a.step < b.step; });
}

void AdmitThread(Machine& m, Thread* thread) {
  if (m.options.policy == Policy::Pct) thread->priority = InitialPriority(m);
}

bool SwitchAtPoint(Machine& m, Thread* running) {
  switch (m.options.policy) {
    case Policy::Sequential:
      return false;
    case Policy::Random:
      return !m.ready.empty() && m.coin(m.rng) < m.options.switchProbability;
    case Policy::Pct: {
      PctPlan& pct = m.pct;
      ++pct.step;
      while (pct.next < pct.changes.size() && pct.changes[pct.next].step <= pct.step)
        running->priority = pct.changes[pct.next++].priority;
      if (m.ready.empty()) return false;
      if (++running->stepsWithoutYield > kPctStarvationSteps) running->priority = kPctStarvedPriority;
      return m.ready[HighestReady(m)]->priority > running->priority;
    }
  }
  return false;
}

std::size_t PickReady(Machine& m) {
  if (m.ready.size() < 2) return 0;
  switch (m.options.policy) {
    case Policy::Sequential: return 0;
    case Policy::Random: return m.rng() % m.ready.size();
    case Policy::Pct: return HighestReady(m);
  }
  return 0;
}

bool InterruptAtPoint(Machine& m) {
  if (m.options.policy == Policy::Sequential || m.timeline.empty()) return false;
  const VirtualTime due = m.timeline.begin()->first.due;
  if (due > m.now + m.options.interruptHorizon || due > m.options.timeBudget) return false;
  if (m.coin(m.interruptRng) >= m.options.interruptProbability) return false;
  // With an outside source open, the clock follows real time; it does not jump ahead of it here.
  std::lock_guard lock(BatonMutex());
  return m.externalSources == 0;
}

}  // namespace tarvel::kernel::exec

namespace tarvel::kernel {

bool ParsePolicy(const std::string& text, BootOptions& options) {
  if (text == "sequential" || text == "random") {
    options.policy = text == "random" ? Policy::Random : Policy::Sequential;
    return true;
  }
  if (text.rfind("pct", 0) != 0) return false;
  BootOptions parsed = options;
  parsed.policy = Policy::Pct;
  const char* p = text.data() + 3;
  const char* end = text.data() + text.size();
  auto number = [&](auto& value) {
    if (p == end || *p != ':') return false;
    auto [next, error] = std::from_chars(p + 1, end, value);
    if (error != std::errc() || next == p + 1 || value == 0) return false;
    p = next;
    return true;
  };
  if (p != end && !number(parsed.pctDepth)) return false;
  if (p != end && !number(parsed.pctSteps)) return false;
  if (p != end) return false;
  options = parsed;
  return true;
}

std::string PolicyText() {
  if (!exec::IsBooted()) return "sequential";
  const BootOptions& o = exec::TheMachine().options;
  switch (o.policy) {
    case Policy::Sequential: return "sequential";
    case Policy::Random: return "random";
    case Policy::Pct: return "pct:" + std::to_string(o.pctDepth) + ":" + std::to_string(o.pctSteps);
  }
  return "?";
}

}  // namespace tarvel::kernel
