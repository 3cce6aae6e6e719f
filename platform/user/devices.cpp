#include "tarvel/user/devices.h"

#include "paths.h"
#include "tarvel/io.h"

namespace tarvel::user {

std::vector<std::string> EnumerateDeviceInterfaces(const GUID& interfaceClass) {
    std::vector<std::string> paths;
    for (const auto& link : io::EnabledInterfaces(interfaceClass)) paths.push_back(Win32InterfacePath(link));
    return paths;
}

std::vector<SerialCommEntry> EnumerateSerialComm() {
    std::vector<SerialCommEntry> ports;
    const std::string key = std::string(io::kDeviceMapPath) + "\\SERIALCOMM";
    if (!io::RegistryKeyExists(key)) return ports;
    for (const auto& value : io::RegistryValues(key))
        if (value.type == REG_SZ) ports.push_back({value.name, value.AsString()});
    return ports;
}

} // namespace tarvel::user
