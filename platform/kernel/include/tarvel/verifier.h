// Verifier modes that change how the platform answers drivers, for tests, tools and the campaign.
#pragma once

#include <cstddef>
#include <string>

namespace tarvel::kernel {

// Force pending (the platform verifier's "force pending I/O requests"): the bus answers requests it
// could complete at once with STATUS_PENDING and completes them later, from a DPC at DISPATCH_LEVEL
// (URBs, power requests of a device that is not power-pageable) or a system worker thread (PnP, other
// power requests), sometimes before the sender's IoCallDriver has returned. A driver that relies on a
// request completing in the call fails under it.
//   Auto: on under the random policy (seeded stress tests, the campaign), off under sequential.
// TARVEL_FORCE_PENDING=on|off in the environment overrides the mode at boot; SetForcePending after boot
// overrides it for that boot.
enum class ForcePendingMode { Auto, Off, On };
void SetForcePending(ForcePendingMode mode);
bool ForcePendingOn();
// A seeded coin of the mode (its own generator, so the scheduler's sequence is unchanged): true with
// probability p. Same seed, same answers.
bool ForcePendingCoin(double p);

// The race configuration's watchpoints (platform/kernel/race): plain accesses of instrumented driver
// code checked, and watchpoints set, since boot. Zero when no instrumented code ran.
std::size_t RaceAccessesChecked();
std::size_t RaceWatchpointsSet();

// What the replay line must add to the environment for the verifier's modes to be the same again
// (" TARVEL_FORCE_PENDING=on ..."), empty when the defaults hold.
std::string VerifierReplayEnvironment();

}  // namespace tarvel::kernel
