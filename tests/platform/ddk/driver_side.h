// What the driver-side translation units of the DDK tests offer the test program. They are compiled
// with the drivers' flags and include only what a driver includes.
#pragma once

#include <wdm.h>

extern "C" {
const GUID* DdkDriverComPortGuid();
const GUID* DdkSecondUnitComPortGuid();
}
