#include "pnp/hardware_key.h"

#include "pnp/port_names.h"

namespace tarvel::pnp {

namespace {

std::string InstancePathOf(const DeviceNode& node) {
    static unsigned made = 0;
    const auto& description = node.description;
    if (!description.instancePath.empty()) return description.instancePath;
    const std::string id = description.hardwareIds.empty() ? "ROOT\\UNKNOWN" : description.hardwareIds.front();
    return id + "\\" + std::to_string(++made);
}

} // namespace

NTSTATUS CreateHardwareKey(const DeviceNode& node) {
    if (!io::IsPhysicalDevice(node.physicalDevice)) io::SetDeviceNode(node.physicalDevice, InstancePathOf(node));
    const std::string key = io::HardwareKeyPath(node.physicalDevice);
    if (key.empty()) return STATUS_UNSUCCESSFUL;
    for (const auto& value : node.description.hardwareKey)
        io::SetRegistryValue(key, value.name, value.type, value.data.data(), value.data.size());
    if (node.description.serialPort && !io::QueryRegistryValue(key, "PortName").has_value()) {
        const std::string portName = ReservePortName(io::InstancePath(node.physicalDevice));
        if (portName.empty()) return STATUS_INSUFFICIENT_RESOURCES;
        io::SetRegistryString(key, "PortName", portName);
    }
    return STATUS_SUCCESS;
}

} // namespace tarvel::pnp
