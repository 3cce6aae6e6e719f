// A machine on which the USB-serial adapter can be pulled out and plugged in again: each plug brings a
// fresh adapter model (with a scripted peer on its line) into a new root port, installed by the PnP
// manager from the package's INF under the same instance path, so that it gets COM3 again. For tests of
// surprise removal and of removal and re-plug cycles; header-only like the other whole-stack fixture.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "install.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvel/pnp.h"
#include "tarvel/user.h"
#include "tarvelport.h"
#include "usb/bus/usb_bus.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/serial_adapter.h"

namespace porttest {

class ReplugStack {
public:
    explicit ReplugStack(std::map<std::string, ULONG> settings = {}) : settings_(std::move(settings)) {}

    // Plugs a new adapter in and waits for its stack; returns the install status.
    NTSTATUS Plug() {
        Unplug();
        plugs_.push_back(std::make_unique<Plugged>(tarvel::usb::KernelClock()));
        Plugged& p = *plugs_.back();
        p.adapter.Connect(&p.peer);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        p.port = tarvel::usb::Plug(p.adapter, Description(), &status);
        p.node = tarvel::usb::Node(p.port);
        return status;
    }
    // Pulls the plug; the removal follows once no handle is open (the bus port then goes away).
    void Unplug() {
        if (plugs_.empty() || !plugs_.back()->port) return;
        tarvel::usb::Unplug(plugs_.back()->port);
        plugs_.back()->port = nullptr;
        tarvel::pnp::WaitForIdle();
    }

    tarvel::pnp::DeviceNode* Node() { return plugs_.back()->node; }
    PDEVICE_OBJECT PortDevice() { return tarvel::pnp::TopOfStack(Node()); }
    PPORT_EXTENSION Ext() { return PortExtension(PortDevice()); }
    tarvel::usb::SerialAdapter& Adapter() { return plugs_.back()->adapter; }
    tarvel::usb::ScriptedPeer& Peer() { return plugs_.back()->peer; }

private:
    struct Plugged {
        explicit Plugged(const tarvel::usb::Clock& clock) : adapter(clock) {}
        tarvel::usb::SerialAdapter adapter;
        tarvel::usb::ScriptedPeer peer;
        tarvel::usb::Port* port = nullptr;
        tarvel::pnp::DeviceNode* node = nullptr;
    };

    tarvel::pnp::DeviceDescription Description() const {
        auto inf = tarvel::setup::Inf::Load(TARVEL_PACKAGE_INF);
        auto install = tarvel::setup::FindInstall(inf, "USB\\VID_1209&PID_0001");
        tarvel::pnp::DeviceDescription description;
        description.functionService = install->functionService;
        description.upperFilters = install->upperFilters;
        description.hardwareIds = {install->hardwareId};
        description.friendlyName = install->description;
        description.instancePath = "USB\\VID_1209&PID_0001\\REPLUG";
        description.serialPort = true;
        auto settings = settings_;
        for (const auto& value : install->hardwareKey) {
            tarvel::io::RegistryValue v{value.name, static_cast<ULONG>(value.type), value.data};
            if (auto o = settings.find(value.name); o != settings.end()) {
                v = Dword(value.name, o->second);
                settings.erase(o);
            }
            description.hardwareKey.push_back(v);
        }
        for (const auto& [name, value] : settings) description.hardwareKey.push_back(Dword(name, value));
        return description;
    }
    static tarvel::io::RegistryValue Dword(const std::string& name, ULONG value) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        return {name, REG_DWORD, std::vector<std::uint8_t>(bytes, bytes + sizeof value)};
    }

    std::map<std::string, ULONG> settings_;
    std::vector<std::unique_ptr<Plugged>> plugs_;  // every model outlives its port
};

}  // namespace porttest
