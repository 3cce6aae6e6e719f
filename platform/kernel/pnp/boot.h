// What the PnP and power managers forget when the machine boots again.
#pragma once

namespace tarvel::pnp {
void ResetNodes();
void ResetDrivers();
void ResetManagerThreads();
} // namespace tarvel::pnp

namespace tarvel::power {
void ResetReportedStates();
void ResetSystemState();
} // namespace tarvel::power
