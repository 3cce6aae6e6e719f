// The COM port device interface class (GUID_DEVINTERFACE_COMPORT) as the tests compare it; the
// platform's header declares it without defining it.
#pragma once

#include <ntddk.h>

namespace porttest {

inline const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

}  // namespace porttest
