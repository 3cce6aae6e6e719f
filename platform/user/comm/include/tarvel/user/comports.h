// Finding the COM ports of the machine as an application does: the names published under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, tied to the enabled instances of the COM port device interface
// (GUID_DEVINTERFACE_COMPORT) and the device instance that both belong to.
#pragma once

#include <string>
#include <vector>

namespace tarvel::user {

struct ComPort {
    std::string name;          // "COM3": SERIALCOMM data, or the instance's PortName for an interface alone
    std::string device;        // "\Device\tarvelport0": the SERIALCOMM value name; empty if not published
    std::string interfacePath; // "\\?\...#{86e0d1e0-...}", ready for CreateFile; empty if none is enabled
    std::string instancePath;  // "USB\VID_1209&PID_0001\1"; empty for a port outside the PnP manager
};

// SERIALCOMM entries in the order they were written, each with the interface of its device instance;
// then enabled COM port interfaces that no entry names.
std::vector<ComPort> EnumerateComPorts();

} // namespace tarvel::user
