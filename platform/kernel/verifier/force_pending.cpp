// The force-pending mode's switch and its seeded coin; the bus does the pending (platform/usb/bus).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "exec/engine.h"
#include "tarvel/verifier.h"

namespace tarvel::kernel {
namespace {

ForcePendingMode gMode = ForcePendingMode::Auto;
bool gFromEnvironment = false;
std::mt19937_64 gCoin;

void Boot() {
  gMode = ForcePendingMode::Auto;
  gFromEnvironment = false;
  if (const char* value = std::getenv("TARVEL_FORCE_PENDING"); value && *value) {
    if (std::strcmp(value, "on") == 0) gMode = ForcePendingMode::On;
    else if (std::strcmp(value, "off") == 0) gMode = ForcePendingMode::Off;
    else {
      std::fprintf(stderr, "TARVEL_FORCE_PENDING=%s is neither 'on' nor 'off'\n", value);
      std::abort();
    }
    gFromEnvironment = true;
  }
  gCoin.seed(CurrentSeed() ^ 0x9e3779b97f4a7c15ULL);
}

const exec::ComponentRegistration gRegistration{{"force pending", Boot, nullptr}};

}  // namespace

void SetForcePending(ForcePendingMode mode) {
  if (!gFromEnvironment) gMode = mode;
}

bool ForcePendingOn() {
  switch (gMode) {
    case ForcePendingMode::On: return true;
    case ForcePendingMode::Off: return false;
    case ForcePendingMode::Auto: return CurrentPolicy() == Policy::Random;
  }
  return false;
}

bool ForcePendingCoin(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(gCoin) < p; }

std::string VerifierReplayEnvironment() {
  std::string text;
  if (gFromEnvironment) text += std::string(" TARVEL_FORCE_PENDING=") + (gMode == ForcePendingMode::On ? "on" : "off");
  // The race build's sampling (race/watchpoints.h) replays only with the same settings, and only with
  // the instrumented modules the run loaded.
  for (const char* name : {"TARVEL_RACE_SAMPLE", "TARVEL_RACE_DELAY_US", "TARVEL_DRIVER_DIR"})
    if (const char* value = std::getenv(name); value && *value) text += std::string(" ") + name + "=" + value;
  return text;
}

}  // namespace tarvel::kernel
