// Device nodes as the I/O manager sees them: a physical device object with its instance path, under
// which its hardware key and its device interfaces live.
#pragma once

#include <wdm.h>

#include <string>

namespace tarvel::io {

// The device-node record of a physical device object, or nullptr if the device is none.
struct DeviceRecord;
DeviceRecord* PhysicalDeviceRecord(PDEVICE_OBJECT device);
std::u16string HardwareKeyPathOf(const DeviceRecord& record);
std::u16string DriverKeyPathOf(const DeviceRecord& record);

}  // namespace tarvel::io
