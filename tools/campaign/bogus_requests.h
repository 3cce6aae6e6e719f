// The platform verifier's Enhanced I/O verification in the campaign: while a port's end-to-end check
// runs, requests of minor functions no driver knows (PnP, power, system control) go to the top of
// random started stacks; the kernel stops the run if one does not come back untouched.
#pragma once

#include <cstdint>

namespace campaign {

void SeedBogusRequests(std::uint64_t seed);
// Sends `count` such requests from the calling emulated thread, a few milliseconds apart; returns how
// many found a started stack.
unsigned SendBogusRequests(unsigned count);

}  // namespace campaign
