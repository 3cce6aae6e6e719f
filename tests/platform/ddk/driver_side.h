// What the driver-side translation units of the DDK tests offer the test program. They are compiled
// with the drivers' flags and include only what a driver includes.
#pragma once

#include <wdm.h>

extern "C" {
size_t DdkDriverWideLength(const WCHAR* text);
int DdkDriverCompareNoCase(const WCHAR* a, const WCHAR* b, size_t count);
const GUID* DdkDriverComPortGuid();
const GUID* DdkSecondUnitComPortGuid();
}
