// Device interfaces of physical device objects.
#pragma once

#include <wdm.h>

namespace tarvel::io {
// Disables every interface of a physical device object that is being deleted.
void DisableInterfacesOf(PDEVICE_OBJECT physicalDevice);
void ResetInterfaces();
}  // namespace tarvel::io
