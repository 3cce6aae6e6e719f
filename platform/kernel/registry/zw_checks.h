// Checks and look-ups shared by the registry routines.
#pragma once

#include <wdm.h>

#include "registry/store.h"
#include "tarvel/kernel.h"

namespace tarvel::registry {

// Registry routines are PASSIVE_LEVEL only (the registry is pageable on the platform).
void RequirePassive(const char* routine);
// Asks the fault injector whether this registry read fails.
bool ReadFaultInjected();
// The key a handle names: STATUS_INVALID_HANDLE for anything but an open key handle, STATUS_KEY_DELETED
// for a key deleted since it was opened.
NTSTATUS KeyOfHandle(HANDLE handle, const char* routine, Key** key);
// The key that ObjectAttributes->RootDirectory names (nullptr for an absolute name).
NTSTATUS BaseKey(const OBJECT_ATTRIBUTES* attributes, Key** base);

}  // namespace tarvel::registry
