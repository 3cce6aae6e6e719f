#include "show.h"

#include <ntddk.h>

#include <algorithm>

#include "install.h"
#include "pipeioctl.h"
#include "tarvel/machine/request_names.h"
#include "tarvel/user.h"
#include "tarvel/user/comports.h"

namespace tarvelcom {

namespace m = tarvel::machine;
namespace u = tarvel::user;

namespace {

bool SetForThisRun(const Options& options, const std::string& name) {
    return std::any_of(options.settings.begin(), options.settings.end(), [&](const tarvel::io::RegistryValue& v) {
        return tarvel::setup::Lower(v.name) == tarvel::setup::Lower(name);
    });
}

std::string OrNone(const std::string& text) { return text.empty() ? "(none)" : text; }

std::string PathWithoutSource(const std::string& path) {
    const std::string source = TARVEL_SOURCE_DIR "/";
    return path.rfind(source, 0) == 0 ? path.substr(source.size()) : path;
}

} // namespace

ULONG HardwareKeyDword(const m::Adapter& adapter, const std::string& name, ULONG otherwise) {
    for (const auto& value : adapter.Description().hardwareKey)
        if (tarvel::setup::Lower(value.name) == tarvel::setup::Lower(name)) return value.AsDword();
    return otherwise;
}

std::string DescribeUart(m::Adapter& adapter) {
    const auto& uart = adapter.Model().Line().Settings();
    const char parity = uart.parity == tarvel::usb::Parity::Odd ? 'O' : uart.parity == tarvel::usb::Parity::Even ? 'E' : 'N';
    std::string text = std::to_string(uart.baud) + " baud, " + std::to_string(uart.dataBits) + parity +
                       std::to_string(uart.stopBits);
    if (uart.rtsCts) text += ", RTS/CTS";
    if (uart.xonXoff) text += ", XON/XOFF";
    if (HardwareKeyDword(adapter, "EndPointCaps", 0) == 0) text += " (EndPointCaps 0: line settings are not sent to the adapter)";
    return text;
}

std::string ErrorText(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS: return "no error";
    case ERROR_FILE_NOT_FOUND: return "the system cannot find the file (2)";
    case ERROR_ACCESS_DENIED: return "access is denied (5)";
    case ERROR_INVALID_HANDLE: return "the handle is invalid (6)";
    case ERROR_NOT_READY: return "the device is not ready (21)";
    case ERROR_GEN_FAILURE: return "a device attached to the system is not functioning (31)";
    case ERROR_NOT_SUPPORTED: return "the request is not supported (50)";
    case ERROR_INVALID_PARAMETER: return "the parameter is incorrect (87)";
    case ERROR_SEM_TIMEOUT: return "the semaphore timeout period has expired (121)";
    case ERROR_OPERATION_ABORTED: return "the I/O operation has been aborted (995)";
    case ERROR_NO_SYSTEM_RESOURCES: return "insufficient system resources (1450)";
    default: return "error " + std::to_string(error);
    }
}

void ShowInstall(Console& out, const m::Machine& machine, const m::Adapter& adapter, const Options& options) {
    const auto& install = machine.PackageInstall();
    const auto& d = adapter.Description();
    out.Row("installed from", PathWithoutSource(machine.InfPath()) + " (" + install.hardwareId + ", \"" +
                                  install.description + "\")");
    std::string drivers = "function driver " + d.functionService;
    for (const auto& filter : d.upperFilters) drivers += ", upper filter " + filter;
    out.Row("drivers", drivers + " (AddDevice in this order)");
    out.Row("device instance", d.instancePath);
    if (!adapter.Started()) {
        out.Row("install", "FAILED: " + m::StatusName(adapter.InstallStatus()) + " (the PnP manager took the stack down)");
        return;
    }
    out.Section("Hardware key (" + adapter.HardwareKeyPath() + ")");
    for (const auto& value : tarvel::io::RegistryValues(adapter.HardwareKeyPath())) {
        std::string note;
        if (SetForThisRun(options, value.name)) note = "   (set for this run)";
        else if (tarvel::setup::Lower(value.name) == "portname") note = "   (from the COM-name arbiter)";
        out.Row(value.name, m::DescribeValue(value) + note);
    }
}

void ShowStack(Console& out, const m::Adapter& adapter) {
    out.Section("Device stack (top first)");
    auto layers = adapter.Stack();
    std::reverse(layers.begin(), layers.end());
    for (const auto& layer : layers)
        out.Line("  %-22s %-11s %s", OrNone(layer.deviceName).c_str(), layer.driver.c_str(), layer.role.c_str());
}

void ShowPortNames(Console& out, const m::Adapter& adapter) {
    out.Section("COM port");
    const std::string link = "\\DosDevices\\" + adapter.ComName();
    const auto target = tarvel::io::SymbolicLinkTarget(link);
    out.Row("name", adapter.ComName() + (target ? " (" + link + " -> " + *target + ")" : " (not linked!)"));
    bool listed = false;
    for (const auto& port : u::EnumerateComPorts()) {
        if (port.instancePath != adapter.InstancePath()) continue;
        listed = true;
        out.Row("SERIALCOMM", port.device.empty() ? "(not published!)" : port.device + " = " + port.name);
        out.Row("COM port interface", OrNone(port.interfacePath));
    }
    if (!listed) out.Row("SERIALCOMM", "(not published!)");
    for (const auto& path : u::EnumerateDeviceInterfaces(GUID_DEVINTERFACE_USB_PIPES)) {
        PDEVICE_OBJECT device = tarvel::io::FindDevice(path);
        if (device != nullptr && adapter.Node() != nullptr && tarvel::pnp::FindNode(device) == adapter.Node())
            out.Row("pipe interface", path);
    }
}

bool ShowRemoval(Console& out, const m::Adapter& adapter) {
    const bool gone = adapter.Gone();
    const bool unlinked = !tarvel::io::SymbolicLinkTarget("\\DosDevices\\" + adapter.ComName());
    bool unlisted = true, noInterface = true;
    for (const auto& port : u::EnumerateComPorts()) {
        if (port.name == adapter.ComName() && !port.device.empty()) unlisted = false;
        if (port.instancePath == adapter.InstancePath() && !port.interfacePath.empty()) noInterface = false;
    }
    out.Row("device node", gone ? "removed (surprise removal, then removal)"
                                : std::string("still present: ") +
                                      tarvel::pnp::NodeStateName(tarvel::pnp::State(adapter.Node())));
    out.Row(adapter.ComName(), unlinked ? "name gone" : "STILL LINKED");
    out.Row("SERIALCOMM", unlisted ? "entry gone" : "STILL LISTED");
    out.Row("COM port interface", noInterface ? "disabled" : "STILL ENABLED");
    return gone && unlinked && unlisted && noInterface;
}

void ShowTeardown(Console& out, const m::TeardownReport& report) {
    out.Section("Teardown");
    out.Row("pool", report.poolAllocations == 0 ? "nothing outstanding"
                                                : Plural(report.poolAllocations, "allocation", "allocations") +
                                                      " outstanding: " + report.poolLeaks);
    out.Row("requests", report.liveIrps == 0 && report.liveMdls == 0 && report.liveWorkItems == 0
                            ? "no request, MDL or work item left"
                            : Format("%zu requests, %zu MDLs, %zu work items left", report.liveIrps, report.liveMdls,
                                     report.liveWorkItems));
    out.Row("registry", report.openRegistryKeys == 0 ? "no key left open"
                                                      : Plural(report.openRegistryKeys, "key", "keys") + " left open");
    std::string drivers;
    for (const auto& d : report.driversLoaded) drivers += (drivers.empty() ? "" : ", ") + d;
    out.Row("drivers", drivers.empty() ? "unloaded" : "still loaded: " + drivers);
    out.Row("verifier", "no finding (a finding stops the run where it happens)");
    for (const auto& finding : report.Findings()) out.Line("  LEFT BEHIND: %s", finding.c_str());
}

} // namespace tarvelcom
