// What drivers reported with PoSetPowerState, forgotten when their device goes.
#pragma once

#include <ntddk.h>

namespace tarvel::power {

void ForgetReportedStates(PDEVICE_OBJECT device);

} // namespace tarvel::power
