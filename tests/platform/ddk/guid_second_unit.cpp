// A second driver translation unit that defines the same GUIDs: a module may do so in as many units
// as it likes without the definitions clashing.
#include <initguid.h>

#include "driver_side.h"
#include "driverkit.h"

extern "C" const GUID* DdkSecondUnitComPortGuid() {
    return &GUID_DEVINTERFACE_COMPORT;
}
