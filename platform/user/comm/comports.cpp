#include "tarvel/user/comports.h"

// The COM port interface class is defined here, once for the application side.
#include <ntddk.h>
#include <initguid.h>
#include <ntddser.h>

#include "tarvel/io.h"
#include "tarvel/pnp.h"
#include "tarvel/user.h"

namespace tarvel::user {

namespace {

// The device instance behind a name ("\Device\...", "\\?\..."), if the PnP manager knows it.
pnp::DeviceNode* NodeOf(const std::string& name) {
    PDEVICE_OBJECT device = io::FindDevice(name);
    return device != nullptr ? pnp::FindNode(device) : nullptr;
}

std::string InstanceOf(pnp::DeviceNode* node) {
    return node != nullptr ? io::InstancePath(pnp::PhysicalDevice(node)) : std::string();
}

std::string PortNameOf(pnp::DeviceNode* node) {
    if (node == nullptr) return {};
    auto value = io::QueryRegistryValue(io::HardwareKeyPath(pnp::PhysicalDevice(node)), "PortName");
    return value && value->type == REG_SZ ? value->AsString() : std::string();
}

} // namespace

std::vector<ComPort> EnumerateComPorts() {
    struct Interface {
        std::string path;
        pnp::DeviceNode* node;
        bool claimed;
    };
    std::vector<Interface> interfaces;
    for (const std::string& path : EnumerateDeviceInterfaces(GUID_DEVINTERFACE_COMPORT))
        interfaces.push_back({path, NodeOf(path), false});

    std::vector<ComPort> ports;
    for (const SerialCommEntry& entry : EnumerateSerialComm()) {
        ComPort port{entry.port, entry.device, {}, {}};
        pnp::DeviceNode* node = NodeOf(entry.device);
        port.instancePath = InstanceOf(node);
        for (Interface& i : interfaces) {
            if (!i.claimed && node != nullptr && i.node == node) {
                port.interfacePath = i.path;
                i.claimed = true;
                break;
            }
        }
        ports.push_back(port);
    }
    for (const Interface& i : interfaces)
        if (!i.claimed) ports.push_back({PortNameOf(i.node), {}, i.path, InstanceOf(i.node)});
    return ports;
}

} // namespace tarvel::user
