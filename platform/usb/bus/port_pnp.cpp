// PnP requests at a port's physical device object, and the device leaving: unplug, port cycle, removal.
#include <cstdio>
#include <cstring>
#include <string>

#include "tarvel/kernel.h"
#include "usb/bus/force_pending.h"
#include "usb/bus/port.h"
#include "usb/bus/usb_bus.h"

namespace tarvel::usb {
namespace {

constexpr ULONG kBusTag = 'BbsU';  // "UsbB"

// A zero-terminated list of UTF-16 strings (REG_MULTI_SZ when several) in paged pool, which the PnP
// manager frees.
PWCHAR PoolStrings(const std::vector<std::string>& strings, bool multi) {
    std::size_t chars = 1;
    for (const auto& s : strings) chars += s.size() + 1;
    auto* out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kBusTag));
    if (!out) return nullptr;
    PWCHAR at = out;
    for (const auto& s : strings) {
        for (char c : s) *at++ = static_cast<WCHAR>(c);
        *at++ = 0;
        if (!multi) break;
    }
    *at = 0;
    return out;
}

// A PnP request the bus answers at once or, now and then under the force-pending mode, from a worker
// thread after its dispatch routine has returned.
NTSTATUS Answer(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    if (CompleteLater(irp, status, information, LaterFrom::Worker, 0.5)) return STATUS_PENDING;
    return CompleteRequest(irp, status, information);
}

// A request that is not the bus's business keeps its status.
NTSTATUS PassOver(PIRP irp) { return Answer(irp, irp->IoStatus.Status, irp->IoStatus.Information); }

std::string Hex(unsigned value, int digits) {
    char b[16];
    std::snprintf(b, sizeof b, "%0*X", digits, value);
    return b;
}

}  // namespace

NTSTATUS Port::Pnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        started_ = true;
        // A started device is in D0, as the drivers above take it to be: one left suspended when it
        // was stopped, or when the stack above it was removed, is resumed for the start.
        if (powerState_ != PowerDeviceD0) SetDevicePower(PowerDeviceD0);
        return Answer(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return Answer(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        started_ = false;
        return Answer(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
        started_ = false;
        FailWaitWake(STATUS_NO_SUCH_DEVICE);
        return Answer(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
        started_ = false;
        // The object goes with a device that left, once the PnP manager knows it left: a removal that
        // runs before (a start that failed because the device went, a disable) leaves it for the
        // removal the PnP manager sends when it takes in the report.
        const bool gone = !connected_ && (node == nullptr || pnp::ReportedMissing(node));
        CompleteRequest(irp, STATUS_SUCCESS);  // at once: the port may go right after
        if (gone) Remove();  // the device left: its physical device object goes with it
        else Unconfigure();  // still present (disabled): it stays, unconfigured, for a later start
        return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(irp);
    case IRP_MN_QUERY_ID:
        return QueryId(irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryDeviceText(irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryDeviceRelations(irp);
    default: {
        return PassOver(irp);
    }
    }
}

NTSTATUS Port::QueryCapabilities(PIRP irp) {
    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (!caps || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1)
        return Answer(irp, STATUS_UNSUCCESSFUL);
    const bool wake = model_.Blueprint().remoteWakeup;
    caps->DeviceD1 = FALSE;
    caps->DeviceD2 = TRUE;
    caps->WakeFromD0 = FALSE;
    caps->WakeFromD1 = FALSE;
    caps->WakeFromD2 = wake;
    caps->WakeFromD3 = FALSE;
    caps->Removable = TRUE;
    caps->SurpriseRemovalOK = TRUE;
    caps->UniqueID = !model_.Blueprint().serialNumber.empty();
    caps->Address = static_cast<ULONG>(-1);
    caps->UINumber = static_cast<ULONG>(-1);
    for (auto& state : caps->DeviceState) state = PowerDeviceD3;
    caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    // While the system sleeps the device is suspended (D2) if it can wake it, else off (D3).
    for (SYSTEM_POWER_STATE s : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3})
        caps->DeviceState[s] = wake ? PowerDeviceD2 : PowerDeviceD3;
    caps->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
    caps->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
    caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
    return Answer(irp, STATUS_SUCCESS);
}

NTSTATUS Port::QueryId(PIRP irp) {
    const DeviceBlueprint& blueprint = model_.Blueprint();
    const std::string vidPid = "USB\\VID_" + Hex(blueprint.vendorId, 4) + "&PID_" + Hex(blueprint.productId, 4);
    std::uint8_t cls = blueprint.deviceClass, sub = blueprint.deviceSubClass, prot = blueprint.deviceProtocol;
    if (cls == 0 && !blueprint.interfaces.empty()) {
        cls = blueprint.interfaces[0].interfaceClass;
        sub = blueprint.interfaces[0].subClass;
        prot = blueprint.interfaces[0].protocol;
    }
    const std::string classId = "USB\\Class_" + Hex(cls, 2);
    PWCHAR text = nullptr;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        text = PoolStrings({vidPid}, false);
        break;
    case BusQueryHardwareIDs:
        text = PoolStrings({vidPid + "&REV_" + Hex(blueprint.bcdDevice, 4), vidPid}, true);
        break;
    case BusQueryCompatibleIDs:
        text = PoolStrings({classId + "&SubClass_" + Hex(sub, 2) + "&Prot_" + Hex(prot, 2), classId + "&SubClass_" + Hex(sub, 2), classId}, true);
        break;
    case BusQueryInstanceID:
        text = PoolStrings({blueprint.serialNumber.empty() ? "1" : blueprint.serialNumber}, false);
        break;
    default: {
        return PassOver(irp);
    }
    }
    if (!text) return Answer(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Answer(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

NTSTATUS Port::QueryDeviceText(PIRP irp) {
    const auto type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType;
    PWCHAR text = nullptr;
    if (type == DeviceTextDescription) text = PoolStrings({model_.Blueprint().product.empty() ? "USB device" : model_.Blueprint().product}, false);
    else if (type == DeviceTextLocationInformation) text = PoolStrings({"Port_#0001.Hub_#0001"}, false);
    else {
        return PassOver(irp);
    }
    if (!text) return Answer(irp, STATUS_INSUFFICIENT_RESOURCES);
    return Answer(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

NTSTATUS Port::QueryDeviceRelations(PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
        return PassOver(irp);
    }
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kBusTag));
    if (!relations) return Answer(irp, STATUS_INSUFFICIENT_RESOURCES);
    relations->Count = 1;
    relations->Objects[0] = pdo_;
    ObReferenceObject(pdo_);
    return Answer(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

// --- The device leaving ---

void Port::DeviceUnplugged() {
    KIRQL irql;
    KeAcquireSpinLock(&Extension()->Lock, &irql);
    connected_ = false;
    auto drained = DrainAllLocked(USBD_STATUS_DEVICE_GONE);
    KeReleaseSpinLock(&Extension()->Lock, irql);
    CompleteTransfers(drained);
    WaitForCancelRoutines();
    FailWaitWake(STATUS_NO_SUCH_DEVICE);
    if (node) pnp::SurpriseRemove(node);  // may remove (and delete) this port before it returns
}

void Port::CyclePort() {
    // As a hub does: the device drops off the bus and is found again as a new device, later.
    DeviceModel* model = &model_;
    const bool install = installed;
    const pnp::DeviceDescription again = description;
    kernel::QueueWork(kernel::WorkQueue::Delayed, [model, install, again] {
        model->Unplug();
        if (install) Plug(*model, again);
        else PlugWithoutInstall(*model);
    });
}

void Port::Remove() {
    StopTimer();
    KeFlushQueuedDpcs();
    PDEVICE_OBJECT pdo = pdo_;
    Extension()->PortObject = nullptr;
    delete this;
    // The drivers above may still be attached: the removal is on its way back up through them, and they
    // detach and delete their own devices once it has passed. The I/O manager keeps the object's memory
    // until the last of them has detached; a request that still reaches it finds no port.
    IoDeleteDevice(pdo);
}

void DeletePort(Port* port) {
    if (port->Connected()) port->Model().Unplug();
    port->RemoveForTests();
}

}  // namespace tarvel::usb
