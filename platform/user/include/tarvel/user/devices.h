// Finding devices as an application does: enabled instances of a device interface class, and the
// serial ports published under the device map.
#pragma once

#include <string>
#include <vector>

#include "tarvel/user/win32.h"

namespace tarvel::user {

// The paths ("\\?\...") of the enabled interfaces of the class, ready for CreateFile.
std::vector<std::string> EnumerateDeviceInterfaces(const GUID& interfaceClass);

struct SerialCommEntry {
    std::string device; // value name, e.g. "\Device\tarvelport0"
    std::string port;   // value data, e.g. "COM3"
};
// The values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in the order they were written.
std::vector<SerialCommEntry> EnumerateSerialComm();

} // namespace tarvel::user
