#include "pnp/stack.h"

#include "pnp/attached.h"
#include "pnp/drivers.h"
#include "pnp/hardware_key.h"
#include "pnp/queries.h"
#include "pnp/requests.h"
#include "power/reported_states.h"
#include "tarvel/kernel.h"

namespace tarvel::pnp {

namespace {

// The platform reports a driver that cannot be loaded with this status.
constexpr NTSTATUS kDriverUnableToLoad = static_cast<NTSTATUS>(0xC000026CL);

void ReleaseDrivers(DeviceNode& node) {
    for (PDRIVER_OBJECT driver : node.drivers) ReleaseDriver(driver);
    node.drivers.clear();
}

// The services of the node in AddDevice order: the function driver, then its upper filters.
std::vector<std::string> Services(const DeviceNode& node) {
    std::vector<std::string> services{node.description.functionService};
    services.insert(services.end(), node.description.upperFilters.begin(), node.description.upperFilters.end());
    return services;
}

NTSTATUS LoadDrivers(DeviceNode& node) {
    for (const auto& service : Services(node)) {
        PDRIVER_OBJECT driver = AcquireDriver(service);
        if (driver == nullptr) {
            kernel::Trace("pnp: cannot load " + service + ": " + kernel::LastLoadError());
            ReleaseDrivers(node);
            return kDriverUnableToLoad;
        }
        node.drivers.push_back(driver);
    }
    return STATUS_SUCCESS;
}

// Calls one driver's AddDevice and records what it attached. A device left initializing would never
// see a request on the platform, so the verifier stops on it as the platform's verifier does.
NTSTATUS AddDevice(DeviceNode& node, PDRIVER_OBJECT driver, const std::string& service) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        kernel::Trace("pnp: " + service + " has no AddDevice routine");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PDEVICE_OBJECT below = AttachedTop(node.physicalDevice);
    const NTSTATUS status =
        kernel::RunDriverCallback("AddDevice", driver, [&] { return addDevice(driver, node.physicalDevice); });
    for (PDEVICE_OBJECT added = below->AttachedDevice; added != nullptr; added = added->AttachedDevice) {
        node.stack.push_back({added, added->DriverObject, service});
        if (added->Flags & DO_DEVICE_INITIALIZING)
            kernel::VerifierStop("device still initializing after AddDevice", "AddDevice", added,
                                 service + " did not clear DO_DEVICE_INITIALIZING on the device it attached");
    }
    return status;
}


void CheckStackGone(const DeviceNode& node, bool deviceGone) {
    for (const auto& entry : node.stack) {
        for (PDEVICE_OBJECT device = entry.driver->DeviceObject; device != nullptr; device = device->NextDevice)
            if (device == entry.device)
                kernel::VerifierStop("device not deleted at removal", "IRP_MN_REMOVE_DEVICE", device,
                                     entry.service + " still has the device after its removal request");
    }
    if (!deviceGone && node.physicalDevice->AttachedDevice != nullptr)
        kernel::VerifierStop("device still attached after removal", "IRP_MN_REMOVE_DEVICE", node.physicalDevice,
                             "a device is still attached to the physical device after the removal request");
}

} // namespace

NTSTATUS QueryCapabilities(DeviceNode& node) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    const NTSTATUS status = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION location) {
        location->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    if (NT_SUCCESS(status)) node.capabilities = capabilities;
    return status;
}

NTSTATUS SendPnp(DeviceNode& node, UCHAR minorFunction, const std::function<void(PIO_STACK_LOCATION)>& fill,
                 ULONG_PTR* information) {
    const RequestResult result = SendAndWait(Top(node), IRP_MJ_PNP, minorFunction, fill);
    if (information != nullptr) *information = result.information;
    return result.status;
}

NTSTATUS StartStack(DeviceNode& node) {
    const NTSTATUS status = SendPnp(node, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION location) {
        location->Parameters.StartDevice.AllocatedResources = nullptr;
        location->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    });
    if (NT_SUCCESS(status)) {
        node.state = NodeState::Started;
        QueryStartedStack(node);
        return status;
    }
    kernel::Trace("pnp: start failed, taking the stack down");
    RemoveStack(node, false);
    node.state = NodeState::FailedStart;
    return status;
}

NTSTATUS BuildAndStart(DeviceNode& node) {
    NTSTATUS status = LoadDrivers(node);
    if (NT_SUCCESS(status)) status = CreateHardwareKey(node);
    if (!NT_SUCCESS(status)) {
        ReleaseDrivers(node);
        node.state = NodeState::FailedStart;
        return status;
    }
    const std::vector<std::string> services = Services(node);
    for (std::size_t i = 0; i < node.drivers.size() && NT_SUCCESS(status); ++i)
        status = AddDevice(node, node.drivers[i], services[i]);
    if (NT_SUCCESS(status)) status = QueryCapabilities(node);
    if (!NT_SUCCESS(status)) {
        if (!node.stack.empty()) RemoveStack(node, false);
        ReleaseDrivers(node);
        node.state = NodeState::FailedStart;
        return status;
    }
    return StartStack(node);
}

NTSTATUS RemoveStack(DeviceNode& node, bool deviceGone) {
    const NTSTATUS status = SendPnp(node, IRP_MN_REMOVE_DEVICE);
    CheckStackGone(node, deviceGone);
    for (const auto& entry : node.stack) power::ForgetReportedStates(entry.device);
    if (deviceGone) power::ForgetReportedStates(node.physicalDevice);
    node.stack.clear();
    ReleaseDrivers(node);
    return status;
}

} // namespace tarvel::pnp
