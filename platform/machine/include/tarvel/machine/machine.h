// The emulated machine as the command-line program, the system tests and the benchmarks use it: boot
// the kernel, plug USB-serial adapters into the emulated bus and have the PnP manager install them from
// the driver package's INF (services, upper filters, hardware-key values, a COM name from the arbiter),
// unplug them, and shut down with a report of what was left behind.
//
// One Machine exists at a time (the kernel is one per process). Everything is called on the emulated
// thread "app" that Boot adopted: the thread that constructed the Machine.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "install.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvel/machine/com_names.h"
#include "tarvel/machine/external_line.h"
#include "tarvel/machine/request_trace.h"
#include "tarvel/pnp.h"
#include "usb/bus/usb_bus.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/fast_device.h"
#include "usb/serial/sequence_stream.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::machine {

struct MachineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The hardware ID of the emulated adapter: the shared test ID that the package's INF names.
constexpr const char* kAdapterHardwareId = "USB\\VID_1209&PID_0001";
// The package's INF in the source tree.
std::string DefaultInfPath();

// ---- Hardware-key values ----------------------------------------------------------------------------
io::RegistryValue DwordValue(std::string name, ULONG value);
io::RegistryValue StringValue(std::string name, const std::string& text);
// "Name=Value": a number (decimal, 0x hexadecimal, or negative as its 32-bit two's complement) becomes
// REG_DWORD, anything else REG_SZ. nullopt with the reason in *error for a malformed setting.
std::optional<io::RegistryValue> ParseSetting(const std::string& text, std::string* error);
// A value's data for people: "4096", "0xFFFFFFFF", "\"COM3\"", "tarvelport" (multi-string).
std::string DescribeValue(const io::RegistryValue& value);

// ---- Adapters ---------------------------------------------------------------------------------------
enum class FarSideKind {
    Loopback, // a loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD
    Scripted, // a peer the caller drives (Adapter::Peer)
    Custom,   // the caller's own far side (AdapterOptions::farSide)
    External, // an outside byte stream (AdapterOptions::external), started and stopped by the machine
};

// The device model behind the adapter's hardware ID.
enum class DeviceKind {
    SerialAdapter, // the USB-serial adapter with its UART and a far side of FarSideKind
    Fast,          // the fast device (usb/serial/fast_device.h), a SequenceStream behind it (Adapter::Stream)
};

struct AdapterOptions {
    DeviceKind device = DeviceKind::SerialAdapter;
    usb::Speed speed = usb::Speed::Full;
    bool remoteWakeup = false;
    FarSideKind farSideKind = FarSideKind::Loopback;
    usb::FarSide* farSide = nullptr;           // FarSideKind::Custom; must outlive the machine's run
    ExternalLine* external = nullptr;          // FarSideKind::External; must outlive the machine
    std::vector<io::RegistryValue> settings;   // replace or add hardware-key values (PortName included)
    std::string hardwareId = kAdapterHardwareId;
    // The pipe driver alone, without the upper filters of the INF (no COM port): its pipes are then
    // opened by name through its device interface, as other clients of a pipe driver do.
    bool functionDriverOnly = false;
    // Called with the adapter's model before it is plugged in: descriptors of its own, faults from the
    // first packet on (a hostile or broken device).
    std::function<void(usb::SerialAdapter&)> prepareModel;
};

// One layer of a device stack, bottom first.
struct StackLayer {
    std::string driver;      // "usbbus", "tarvelpipe", "tarvelport" (the driver object's name)
    std::string deviceName;  // "\Device\tarvelport0", or empty for an unnamed device
    std::string role;        // "bus device", "function driver", "upper filter"
};

class Machine;

class Adapter {
public:
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;
    ~Adapter();

    NTSTATUS InstallStatus() const { return installStatus_; }
    bool Started() const;
    // The COM name the arbiter gave (or the PortName setting), e.g. "COM3".
    const std::string& ComName() const { return comName_; }
    const std::string& InstancePath() const { return description_.instancePath; }
    const pnp::DeviceDescription& Description() const { return description_; }
    std::string HardwareKeyPath() const;
    // The stack as it stands, bottom first (empty once the device is gone).
    std::vector<StackLayer> Stack() const;

    // The USB-serial adapter's model (DeviceKind::SerialAdapter only; throws otherwise).
    usb::SerialAdapter& Model();
    // The fast device and its far side (DeviceKind::Fast only; throw otherwise).
    usb::FastDevice& Fast();
    usb::SequenceStream& Stream();
    usb::DeviceModel& Device() { return *device_; }
    // The scripted peer on the line (FarSideKind::Scripted only; throws otherwise).
    usb::ScriptedPeer& Peer();
    usb::Port* BusPort(); // nullptr once the device is gone (the bus has ended the port)
    pnp::DeviceNode* Node() const;
    bool Plugged() const { return plugged_; }
    // The device node has been removed for good (after an unplug and the last handle's close).
    bool Gone() const;

private:
    friend class Machine;
    Adapter() = default;

    std::unique_ptr<usb::SerialAdapter> model_;
    std::unique_ptr<usb::FastDevice> fast_;
    std::unique_ptr<usb::SequenceStream> stream_;
    usb::DeviceModel* device_ = nullptr;
    std::unique_ptr<usb::LoopbackPlug> loopback_;
    std::unique_ptr<usb::ScriptedPeer> peer_;
    usb::Port* port_ = nullptr;
    pnp::DeviceNode* node_ = nullptr; // the PnP manager keeps nodes for the whole run
    pnp::DeviceDescription description_;
    std::string comName_;
    NTSTATUS installStatus_ = STATUS_UNSUCCESSFUL;
    bool plugged_ = false;
};

// ---- Shutdown ---------------------------------------------------------------------------------------
// What a run left behind. A verifier finding stops the process where it happens (with its message),
// so a report exists only for a run the verifier did not stop.
struct TeardownReport {
    kernel::VirtualTime endedAt = 0;
    std::size_t poolAllocations = 0;     // outstanding pool allocations of every tag
    std::size_t poolBytes = 0;
    std::string poolLeaks;               // the kernel's report by tag; empty if nothing is outstanding
    std::size_t liveIrps = 0, liveMdls = 0, liveWorkItems = 0, openRegistryKeys = 0;
    std::vector<std::string> driversLoaded;      // driver modules still loaded after every device went
    std::vector<std::string> devicesPresent;     // device nodes that were not removed
    std::vector<std::string> comNames;           // COM links still in the namespace
    std::vector<std::string> serialCommEntries;  // SERIALCOMM values still published
    std::vector<std::string> interfaces;         // COM port interfaces still enabled

    bool Clean() const;
    std::vector<std::string> Findings() const;  // one line per thing left behind
};

struct MachineOptions {
    kernel::BootOptions boot;
    std::string infPath = DefaultInfPath();
    RequestTraceSink requestTrace;  // set: every request between the drivers and the bus goes here
};

class Machine {
public:
    // Boots the kernel and reads the INF (MachineError if it cannot be read or names no adapter).
    explicit Machine(MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Plugs a new adapter in; the PnP manager installs it from the INF. The adapter is returned whether
    // or not the install succeeded (see InstallStatus).
    Adapter& Plug(const AdapterOptions& options = {});
    // Pulls the adapter's plug; the removal completes once every handle to the port is closed.
    void Unplug(Adapter& adapter);
    const std::vector<std::unique_ptr<Adapter>>& Adapters() const { return adapters_; }

    // What the INF installs on the adapter's hardware ID.
    const setup::DeviceInstall& PackageInstall() const;
    const std::string& InfPath() const { return options_.infPath; }

    // Unplugs what is still plugged, waits until the PnP manager is done, takes the report and shuts the
    // kernel down. Called once; the destructor calls it if nobody did.
    TeardownReport Shutdown();
    bool Running() const { return running_; }
    // The same report for the machine as it stands now, without shutting anything down.
    TeardownReport Inspect() const;

private:
    void ReleaseGoneComNames();
    static void ConnectFarSide(usb::SerialAdapter& model, Adapter& adapter, const AdapterOptions& options);

    MachineOptions options_;
    std::unique_ptr<setup::Inf> inf_;
    std::unique_ptr<setup::DeviceInstall> install_;
    std::vector<std::unique_ptr<Adapter>> adapters_;
    ComNameArbiter comNames_;
    std::vector<ExternalLine*> externalLines_;
    unsigned instances_ = 0;
    bool running_ = false;
    bool tracing_ = false;
};

} // namespace tarvel::machine
