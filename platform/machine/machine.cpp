// Booting, plugging adapters in and installing them from the INF, unplugging, shutting down.
#include "tarvel/machine/machine.h"

#include <algorithm>

#include "tarvel/user/comports.h"
#include "text.h"

namespace tarvel::machine {

namespace {

io::RegistryValue FromInf(const setup::RegistryValue& value) {
    io::RegistryValue v;
    v.name = value.name;
    v.type = static_cast<ULONG>(value.type);
    v.data = value.data;
    return v;
}

// The setting replaces the value of the same name (names compare without case, as the registry's do)
// or joins the key.
void Apply(std::vector<io::RegistryValue>& key, const io::RegistryValue& setting) {
    for (io::RegistryValue& value : key) {
        if (setup::Lower(value.name) == setup::Lower(setting.name)) {
            value = setting;
            return;
        }
    }
    key.push_back(setting);
}

const io::RegistryValue* Find(const std::vector<io::RegistryValue>& key, const std::string& name) {
    for (const io::RegistryValue& value : key)
        if (setup::Lower(value.name) == setup::Lower(name)) return &value;
    return nullptr;
}

setup::DeviceInstall InstallFor(const setup::Inf& inf, const std::string& hardwareId) {
    std::optional<setup::DeviceInstall> install;
    try {
        install = setup::FindInstall(inf, hardwareId);
    } catch (const std::exception& e) {
        throw MachineError(e.what());
    }
    if (!install) throw MachineError(inf.Origin() + " installs nothing on " + hardwareId);
    return *install;
}

} // namespace

void Machine::ConnectFarSide(usb::SerialAdapter& model, Adapter& adapter, const AdapterOptions& options) {
    switch (options.farSideKind) {
    case FarSideKind::Loopback:
        adapter.loopback_ = std::make_unique<usb::LoopbackPlug>();
        model.Connect(adapter.loopback_.get());
        break;
    case FarSideKind::Scripted:
        adapter.peer_ = std::make_unique<usb::ScriptedPeer>();
        model.Connect(adapter.peer_.get());
        break;
    case FarSideKind::Custom:
        if (options.farSide == nullptr) throw MachineError("a custom far side needs AdapterOptions::farSide");
        model.Connect(options.farSide);
        break;
    case FarSideKind::External:
        if (options.external == nullptr) throw MachineError("an external far side needs AdapterOptions::external");
        model.Connect(&options.external->FarSide());
        break;
    }
}

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
    try {
        inf_ = std::make_unique<setup::Inf>(setup::Inf::Load(options_.infPath));
    } catch (const std::exception& e) {
        throw MachineError("cannot read the driver package's INF: " + std::string(e.what()));
    }
    install_ = std::make_unique<setup::DeviceInstall>(InstallFor(*inf_, kAdapterHardwareId));
    kernel::Boot(options_.boot);
    running_ = true;
    if (options_.requestTrace) {
        trace::Start(options_.requestTrace);
        tracing_ = true;
    }
}

Machine::~Machine() {
    if (running_) Shutdown();
}

const setup::DeviceInstall& Machine::PackageInstall() const { return *install_; }

Adapter& Machine::Plug(const AdapterOptions& options) {
    const setup::DeviceInstall install =
        options.hardwareId == kAdapterHardwareId ? *install_ : InstallFor(*inf_, options.hardwareId);
    std::unique_ptr<Adapter> adapter(new Adapter);

    usb::SerialAdapterOptions model;
    model.speed = options.speed;
    model.remoteWakeup = options.remoteWakeup;
    if (options.device == DeviceKind::Fast) {
        adapter->fast_ = std::make_unique<usb::FastDevice>(usb::KernelClock(), model);
        adapter->stream_ = std::make_unique<usb::SequenceStream>(*adapter->fast_);
        adapter->device_ = adapter->fast_.get();
    } else {
        adapter->model_ = std::make_unique<usb::SerialAdapter>(usb::KernelClock(), model);
        adapter->device_ = adapter->model_.get();
        ConnectFarSide(*adapter->model_, *adapter, options);
    }

    pnp::DeviceDescription& d = adapter->description_;
    d.functionService = install.functionService;
    if (!options.functionDriverOnly) d.upperFilters = install.upperFilters;
    d.hardwareIds = {install.hardwareId};
    d.friendlyName = install.description;
    d.instancePath = install.hardwareId + "\\" + std::to_string(++instances_);
    for (const setup::RegistryValue& value : install.hardwareKey) d.hardwareKey.push_back(FromInf(value));
    for (const io::RegistryValue& setting : options.settings) Apply(d.hardwareKey, setting);
    if (options.functionDriverOnly) {
        // No port driver: no COM name to hand out.
    } else if (const io::RegistryValue* portName = Find(d.hardwareKey, "PortName")) {
        adapter->comName_ = portName->AsString();
        comNames_.Reserve(adapter->comName_);
    } else {
        adapter->comName_ = comNames_.Claim();
        d.hardwareKey.push_back(StringValue("PortName", adapter->comName_));
    }

    if (options.prepareModel && adapter->model_) options.prepareModel(*adapter->model_);
    adapter->port_ = usb::Plug(*adapter->device_, d, &adapter->installStatus_);
    // Without a port the bus could not enumerate the device (low resources): it never appeared, so there
    // is nothing to unplug; the adapter stays as the record of the failed plug.
    adapter->node_ = adapter->port_ ? usb::Node(adapter->port_) : nullptr;
    adapter->plugged_ = adapter->port_ != nullptr;
    if (adapter->plugged_ && adapter->model_ && options.farSideKind == FarSideKind::External) {
        options.external->Start();
        externalLines_.push_back(options.external);
    }
    if (!adapter->Started() && !adapter->comName_.empty()) comNames_.Release(adapter->comName_); // no port holds it
    adapters_.push_back(std::move(adapter));
    return *adapters_.back();
}

void Machine::Unplug(Adapter& adapter) {
    if (!adapter.plugged_) return;
    usb::Unplug(adapter.port_);
    adapter.plugged_ = false;
    pnp::WaitForIdle();
    ReleaseGoneComNames();
}

void Machine::ReleaseGoneComNames() {
    // An adapter that is gone (or never appeared) gave its name back, which a later adapter may hold now.
    auto heldByAnother = [this](const Adapter& gone) {
        return std::any_of(adapters_.begin(), adapters_.end(), [&](const auto& other) {
            return other.get() != &gone && !other->Gone() && setup::Lower(other->comName_) == setup::Lower(gone.comName_);
        });
    };
    for (const auto& adapter : adapters_)
        if (!adapter->plugged_ && adapter->Gone() && !adapter->comName_.empty() && !heldByAnother(*adapter))
            comNames_.Release(adapter->comName_);
}

TeardownReport Machine::Shutdown() {
    if (!running_) return {};
    for (ExternalLine* line : externalLines_) line->Stop();
    externalLines_.clear();
    for (const auto& adapter : adapters_) Unplug(*adapter);
    pnp::WaitForIdle();
    kernel::RunUntilIdle();
    if (tracing_) {
        trace::Stop();
        tracing_ = false;
    }
    TeardownReport report = Inspect();
    kernel::Shutdown();
    running_ = false;
    return report;
}

TeardownReport Machine::Inspect() const {
    TeardownReport r;
    r.endedAt = kernel::Now();
    r.poolAllocations = kernel::PoolOutstandingTotal();
    r.poolLeaks = kernel::PoolLeakReport();
    r.liveIrps = io::LiveIrps();
    r.liveMdls = io::LiveMdls();
    r.liveWorkItems = io::LiveWorkItems();
    r.openRegistryKeys = io::OpenRegistryHandles();
    for (PDRIVER_OBJECT driver : kernel::LoadedDrivers()) r.driversLoaded.push_back(DriverNameOf(driver));
    for (const auto& adapter : adapters_)
        if (!adapter->Gone())
            r.devicesPresent.push_back(adapter->InstancePath() + " (" + pnp::NodeStateName(pnp::State(adapter->Node())) + ")");
    for (const std::string& name : io::DosDeviceNames())
        if (setup::Lower(name).rfind("com", 0) == 0) r.comNames.push_back(name);
    for (const user::ComPort& port : user::EnumerateComPorts()) {
        if (!port.device.empty()) r.serialCommEntries.push_back(port.device + " = " + port.name);
        if (!port.interfacePath.empty()) r.interfaces.push_back(port.interfacePath);
    }
    return r;
}

bool TeardownReport::Clean() const { return Findings().empty(); }

std::vector<std::string> TeardownReport::Findings() const {
    std::vector<std::string> f;
    if (poolAllocations != 0) f.push_back(std::to_string(poolAllocations) + " pool allocations outstanding");
    if (liveIrps != 0) f.push_back(std::to_string(liveIrps) + " requests not freed");
    if (liveMdls != 0) f.push_back(std::to_string(liveMdls) + " MDLs not freed");
    if (liveWorkItems != 0) f.push_back(std::to_string(liveWorkItems) + " work items not freed");
    if (openRegistryKeys != 0) f.push_back(std::to_string(openRegistryKeys) + " registry keys left open");
    for (const auto& d : driversLoaded) f.push_back("driver still loaded: " + d);
    for (const auto& d : devicesPresent) f.push_back("device not removed: " + d);
    for (const auto& c : comNames) f.push_back("COM name still linked: " + c);
    for (const auto& s : serialCommEntries) f.push_back("SERIALCOMM still lists " + s);
    for (const auto& i : interfaces) f.push_back("COM port interface still enabled: " + i);
    return f;
}

} // namespace tarvel::machine
