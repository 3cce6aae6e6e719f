// The platform's full driver header (ntddk.h): wdm.h plus the few kernel interfaces that are not part
// of the driver model proper.
#pragma once

#include <wdm.h>
