// An adapter plugged into the machine: its model, its far side, its device node and what the PnP
// manager built on it.
#include "tarvel/machine/machine.h"
#include "text.h"

namespace tarvel::machine {

Adapter::~Adapter() = default;

pnp::DeviceNode* Adapter::Node() const { return node_; }

bool Adapter::Started() const { return node_ != nullptr && pnp::State(node_) == pnp::NodeState::Started; }

bool Adapter::Gone() const { return node_ == nullptr || pnp::State(node_) == pnp::NodeState::Deleted; }

std::string Adapter::HardwareKeyPath() const {
    return Gone() ? std::string() : io::HardwareKeyPath(pnp::PhysicalDevice(node_));
}

usb::Port* Adapter::BusPort() { return Gone() ? nullptr : port_; }

usb::SerialAdapter& Adapter::Model() {
    if (!model_) throw MachineError("the adapter's device is not the USB-serial adapter");
    return *model_;
}

usb::FastDevice& Adapter::Fast() {
    if (!fast_) throw MachineError("the adapter's device is not the fast device");
    return *fast_;
}

usb::SequenceStream& Adapter::Stream() {
    if (!stream_) throw MachineError("the adapter's device is not the fast device");
    return *stream_;
}

usb::ScriptedPeer& Adapter::Peer() {
    if (!peer_) throw MachineError("the adapter's far side is not a scripted peer");
    return *peer_;
}

std::vector<StackLayer> Adapter::Stack() const {
    std::vector<StackLayer> layers;
    if (Gone()) return layers;
    const pnp::DeviceDescription& d = description_;
    for (PDEVICE_OBJECT device = pnp::PhysicalDevice(node_); device != nullptr; device = device->AttachedDevice) {
        StackLayer layer;
        layer.driver = DriverNameOf(device->DriverObject);
        layer.deviceName = io::DeviceName(device);
        if (layers.empty()) {
            layer.role = "bus device";
        } else if (layer.driver == d.functionService) {
            layer.role = "function driver";
        } else {
            bool upper = false;
            for (const std::string& filter : d.upperFilters) upper = upper || filter == layer.driver;
            layer.role = upper ? "upper filter" : "filter";
        }
        layers.push_back(layer);
    }
    return layers;
}

} // namespace tarvel::machine
