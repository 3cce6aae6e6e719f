#include "verifier/lock_order.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "exec/engine.h"
#include "verifier/code_address.h"

namespace tarvel::kernel::verifier {
namespace {

using Held = HeldLock;

// "from was held when to was taken", first seen at these sites by this thread.
struct Edge {
  const void* fromSite;
  const void* toSite;
  std::string thread;
};

struct State {
  std::unordered_map<const void*, std::vector<Held>> held;  // by thread
  std::map<const void*, std::map<const void*, Edge>> edges;  // from -> to -> first occurrence
  std::map<const void*, const char*> names;
};

State& TheState() {
  static State& state = *new State;  // never destroyed: reports may come from exit paths
  return state;
}

void Reset() {
  State& s = TheState();
  s.held.clear();
  s.edges.clear();
  // Names belong to locks of the kernel itself (static storage), which outlive a boot.
}

void Boot() {
  Reset();
  static bool freeCheckAdded = false;  // locks in pool blocks go with their block
  if (!freeCheckAdded) AddFreeCheck([](const char*, const void* begin, std::size_t size) { ForgetLocksIn(begin, size); });
  freeCheckAdded = true;
}

const exec::ComponentRegistration gRegistration{{"lock order", Boot, Reset}};

// A path of edges from `from` to `to` (depth first), or empty.
bool FindPath(const void* from, const void* to, std::set<const void*>& seen, std::vector<const void*>& path) {
  path.push_back(from);
  if (from == to) return true;
  if (seen.insert(from).second) {
    const State& s = TheState();
    if (auto it = s.edges.find(from); it != s.edges.end())
      for (const auto& [next, edge] : it->second)
        if (FindPath(next, to, seen, path)) return true;
  }
  path.pop_back();
  return false;
}

std::string Taken(const void* lock, const void* site) { return DescribeLock(lock) + " taken at " + DescribeCode(site); }

}  // namespace

std::string DescribeLock(const void* lock) {
  const State& s = TheState();
  char text[48];
  std::snprintf(text, sizeof text, "spin lock %p", lock);
  if (auto it = s.names.find(lock); it != s.names.end()) return std::string(it->second) + " (" + text + ")";
  return text;
}

void NameLock(const void* lock, const char* name) { TheState().names[lock] = name; }

void CheckLockOrder(const void* lock, const void* site, const char* routine) {
  exec::Thread* self = exec::Current();
  State& s = TheState();
  auto found = s.held.find(self);
  if (found == s.held.end() || found->second.empty()) return;
  const std::vector<Held> held = found->second;
  for (const Held& h : held) {
    if (h.lock == lock) continue;  // taken twice: the spin lock routine stops on that itself
    std::set<const void*> seen;
    std::vector<const void*> path;
    if (FindPath(lock, h.lock, seen, path)) {
      std::string detail = "takes " + Taken(lock, site) + "\n    while holding " + Taken(h.lock, h.site) +
                           ",\n  but the other order was seen before:";
      for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        const Edge& e = s.edges[path[i]][path[i + 1]];
        detail += "\n    thread \"" + e.thread + "\" took " + Taken(path[i + 1], e.toSite) + "\n      while holding " +
                  Taken(path[i], e.fromSite);
      }
      detail += "\n  (two processors taking them in these orders deadlock)";
      VerifierStop("spin lock order inversion", routine, lock, detail);
    }
    auto& out = s.edges[h.lock];
    if (!out.count(lock)) out.emplace(lock, Edge{h.site, site, self->name});
  }
}

void NoteLockHeld(const void* lock, const void* site) { TheState().held[exec::Current()].push_back({lock, site}); }

void NoteLockReleased(const void* lock) {
  auto& held = TheState().held[exec::Current()];
  auto it = std::find_if(held.rbegin(), held.rend(), [lock](const Held& h) { return h.lock == lock; });
  if (it != held.rend()) held.erase(std::next(it).base());
}

void ForgetLocksIn(const void* begin, std::size_t size) {
  State& s = TheState();
  const auto* b = static_cast<const char*>(begin);
  const auto inside = [b, size](const void* p) { return static_cast<const char*>(p) >= b && static_cast<const char*>(p) < b + size; };
  for (auto it = s.edges.begin(); it != s.edges.end();) {
    if (inside(it->first)) {
      it = s.edges.erase(it);
      continue;
    }
    std::erase_if(it->second, [&](const auto& entry) { return inside(entry.first); });
    ++it;
  }
}

std::vector<HeldLock> HeldLocks(const void* thread) {
  const State& s = TheState();
  auto it = s.held.find(thread);
  return it == s.held.end() ? std::vector<HeldLock>{} : it->second;
}

std::string DescribeLocks(const std::vector<HeldLock>& locks) {
  if (locks.empty()) return "no spin lock";
  std::string text;
  for (const Held& h : locks) text += (text.empty() ? "" : ", ") + Taken(h.lock, h.site);
  return text;
}

std::string DescribeHeldLocks(const void* thread) { return DescribeLocks(HeldLocks(thread)); }

}  // namespace tarvel::kernel::verifier
