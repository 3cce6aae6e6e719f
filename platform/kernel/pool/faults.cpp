// Fault injection shared by every allocation site of the platform (pool, requests, MDLs, work items,
// power requests, registry reads): fail the n-th attempt (of one tag or any), or at random.
#include <array>
#include <random>

#include "exec/engine.h"

namespace tarvel::kernel {
namespace {

struct SiteFaults {
  unsigned failNth = 0;     // 0: off
  std::uint32_t nthTag = 0;  // 0: any tag
  unsigned seen = 0;        // attempts that matched the tag so far
  double probability = 0;
  std::mt19937_64 rng;
  std::uint64_t calls = 0;
};

constexpr std::size_t kSites = 6;
std::array<SiteFaults, kSites> gSites;
std::uint64_t gInjected = 0;

const char* SiteName(FaultSite site) {
  static const char* const names[kSites] = {"pool allocation", "request allocation", "MDL allocation",
                                            "work item allocation", "power request", "registry read"};
  return names[static_cast<std::size_t>(site)];
}

SiteFaults& Of(FaultSite site) { return gSites[static_cast<std::size_t>(site)]; }

// Calls count per boot (a sweep asks how many a scenario made); the faults set stay as they are.
void CountFromBoot() {
  for (SiteFaults& s : gSites) s.calls = 0;
}
const exec::ComponentRegistration gRegistration{{"faults", CountFromBoot, nullptr}};

}  // namespace

bool ShouldFail(FaultSite site, std::uint32_t tag) {
  SiteFaults& s = Of(site);
  ++s.calls;
  bool fail = false;
  if (s.failNth && (s.nthTag == 0 || s.nthTag == tag) && ++s.seen == s.failNth) fail = true;
  if (!fail && s.probability > 0 && std::uniform_real_distribution<double>(0, 1)(s.rng) < s.probability) fail = true;
  if (fail) {
    ++gInjected;
    if (Tracing()) Trace(std::string("fault injected: ") + SiteName(site) + (tag ? " tag '" + TagName(tag) + "'" : ""));
  }
  return fail;
}

void FailNth(FaultSite site, unsigned n, std::uint32_t tag) {
  SiteFaults& s = Of(site);
  s.failNth = n;
  s.nthTag = tag;
  s.seen = 0;
}

void FailRandom(FaultSite site, double p, std::uint64_t seed) {
  SiteFaults& s = Of(site);
  s.probability = p;
  s.rng.seed(seed);
}

void ClearFaults() {
  for (SiteFaults& s : gSites) s = SiteFaults{};
  gInjected = 0;
}

std::uint64_t FaultsInjected() { return gInjected; }
std::uint64_t FaultSiteCalls(FaultSite site) { return Of(site).calls; }

}  // namespace tarvel::kernel
