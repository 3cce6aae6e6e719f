// The PnP manager's public routines: installation and the platform's PnP sequences, each carried out
// on the PnP thread while the caller waits.
#include "pnp/attached.h"
#include "pnp/boot.h"
#include "pnp/device_node.h"
#include "pnp/manager_thread.h"
#include "pnp/queries.h"
#include "pnp/stack.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvel/pnp.h"

#include <ntddk.h>

namespace tarvel::pnp {

namespace {

NTSTATUS OnPnpThread(const std::function<NTSTATUS()>& work) {
    NTSTATUS status = STATUS_SUCCESS;
    PnpThread().Run([&] { status = work(); });
    return status;
}

// The device tree does not change while the system sleeps: nothing runs on a sleeping machine, and the
// PnP manager takes up a stop, start or removal asked of it then once the system is back in the working
// state (a stack started in between would meet a device its drivers have powered down).
NTSTATUS OnPnpThreadAwake(const std::function<NTSTATUS()>& work) {
    if (PnpThread().OnThisThread()) return work();
    NTSTATUS status = STATUS_SUCCESS;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::function<void()> step;
    step = [&] {
        if (power::SystemState() != PowerSystemWorking) {
            PnpThread().Hold(step);
            return;
        }
        status = work();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    };
    PnpThread().Queue(step);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return status;
}

bool Built(NodeState state) {
    return state == NodeState::Started || state == NodeState::StopPending || state == NodeState::Stopped ||
           state == NodeState::RemovePending;
}

// File objects open on the node's stack. A device's ReferenceCount counts the file objects opened on
// it until their IRP_MJ_CLOSE has gone out, so a handle closed with a request still in flight, or a
// file object that a kernel component still references, counts as well.
LONG OpenFileObjects(const DeviceNode& node) {
    LONG open = node.physicalDevice->ReferenceCount;
    for (const auto& entry : node.stack) open += entry.device->ReferenceCount;
    return open;
}

NTSTATUS Vetoed(DeviceNode& node, PNP_VETO_TYPE type, NTSTATUS status, const std::string& why) {
    node.veto = {type, io::InstancePath(node.physicalDevice)};
    kernel::Trace("pnp: removal of " + node.veto.name + " vetoed: " + why);
    return status;
}

// An orderly removal: the open-file check, query-remove, then remove or (if the query failed, or
// remove is false) cancel-remove. The check comes first, with opens refused from then on and no
// switch point in between, so that no open starts between the check and the end of the sequence. (An
// open whose IRP_MJ_CREATE is already in the stack at the check is not seen: the I/O manager counts a
// file object in ReferenceCount only once its create has succeeded.)
NTSTATUS QueryRemove(DeviceNode& node, bool remove, NodeState afterRemoval) {
    if (node.state != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
    node.veto = {};
    io::RefuseOpens(node.physicalDevice, STATUS_DELETE_PENDING);
    if (const LONG open = OpenFileObjects(node); open != 0) {
        io::RefuseOpens(node.physicalDevice, STATUS_SUCCESS);
        return Vetoed(node, PNP_VetoOutstandingOpen, STATUS_PLUGPLAY_QUERY_VETOED,
                      std::to_string(open) + " file object(s) open on the stack");
    }
    QueryRemovalRelations(node);
    const NTSTATUS query = SendPnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (NT_SUCCESS(query)) node.state = NodeState::RemovePending;
    if (!NT_SUCCESS(query) || !remove) {
        const NTSTATUS cancel = SendPnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        node.state = NodeState::Started;
        io::RefuseOpens(node.physicalDevice, STATUS_SUCCESS);
        if (NT_SUCCESS(query)) return cancel;
        return Vetoed(node, PNP_VetoDevice, query, "a driver failed the query");
    }
    const NTSTATUS status = RemoveStack(node, false);
    // The device is still present: a new stack (Enable) is opened as any other.
    io::RefuseOpens(node.physicalDevice, STATUS_SUCCESS);
    node.state = afterRemoval;
    return status;
}

void RemoveAfterSurpriseRemoval(DeviceNode& node) {
    if (node.state != NodeState::SurpriseRemoved) return;
    RemoveStack(node, true);
    node.state = NodeState::Deleted;
}

} // namespace

std::vector<std::unique_ptr<DeviceNode>>& AllNodes() {
    static std::vector<std::unique_ptr<DeviceNode>> nodes;
    return nodes;
}

void ResetNodes() { AllNodes().clear(); }

bool StackBuilt(const DeviceNode& node) { return !node.stack.empty(); }

PDEVICE_OBJECT Top(const DeviceNode& node) {
    return node.stack.empty() ? node.physicalDevice : AttachedTop(node.physicalDevice);
}

const char* NodeStateName(NodeState state) {
    switch (state) {
    case NodeState::Initialized: return "initialized";
    case NodeState::Started: return "started";
    case NodeState::StopPending: return "stop pending";
    case NodeState::Stopped: return "stopped";
    case NodeState::RemovePending: return "remove pending";
    case NodeState::SurpriseRemoved: return "surprise removed";
    case NodeState::FailedStart: return "failed start";
    case NodeState::Disabled: return "disabled";
    case NodeState::Deleted: return "deleted";
    }
    return "?";
}

NTSTATUS InstallDevice(PDEVICE_OBJECT physicalDevice, const DeviceDescription& description, DeviceNode** node) {
    if (FindNode(physicalDevice) != nullptr)
        kernel::VerifierStop("device installed twice", "InstallDevice", physicalDevice,
                             "the physical device already has a device node");
    auto& created = AllNodes().emplace_back(std::make_unique<DeviceNode>());
    created->physicalDevice = physicalDevice;
    created->description = description;
    DeviceNode* raw = created.get();
    if (node != nullptr) *node = raw;
    return OnPnpThread([raw] { return BuildAndStart(*raw); });
}

void ReportDeviceArrived(PDEVICE_OBJECT physicalDevice, DeviceDescription description,
                         std::function<void(NTSTATUS, DeviceNode*)> done) {
    PnpThread().Queue([physicalDevice, description = std::move(description), done = std::move(done)] {
        DeviceNode* node = nullptr;
        const NTSTATUS status = InstallDevice(physicalDevice, description, &node);
        if (done) done(status, node);
    });
}

NTSTATUS Rebalance(DeviceNode* node) {
    return OnPnpThreadAwake([node] {
        if (node->state != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
        const NTSTATUS query = SendPnp(*node, IRP_MN_QUERY_STOP_DEVICE);
        if (!NT_SUCCESS(query)) {
            SendPnp(*node, IRP_MN_CANCEL_STOP_DEVICE);
            return query;
        }
        node->state = NodeState::StopPending;
        const NTSTATUS stop = SendPnp(*node, IRP_MN_STOP_DEVICE);
        node->state = NodeState::Stopped;
        const NTSTATUS start = StartStack(*node);
        return NT_SUCCESS(stop) ? start : stop;
    });
}

NTSTATUS QueryStopAndCancel(DeviceNode* node) {
    return OnPnpThreadAwake([node] {
        if (node->state != NodeState::Started) return STATUS_INVALID_DEVICE_STATE;
        const NTSTATUS query = SendPnp(*node, IRP_MN_QUERY_STOP_DEVICE);
        if (NT_SUCCESS(query)) node->state = NodeState::StopPending;
        const NTSTATUS cancel = SendPnp(*node, IRP_MN_CANCEL_STOP_DEVICE);
        node->state = NodeState::Started;
        return NT_SUCCESS(query) ? cancel : query;
    });
}

NTSTATUS QueryRemoveAndRemove(DeviceNode* node) {
    return OnPnpThreadAwake([node] { return QueryRemove(*node, true, NodeState::Initialized); });
}

NTSTATUS QueryRemoveAndCancel(DeviceNode* node) {
    return OnPnpThreadAwake([node] { return QueryRemove(*node, false, NodeState::Started); });
}

NTSTATUS Disable(DeviceNode* node) {
    return OnPnpThreadAwake([node] { return QueryRemove(*node, true, NodeState::Disabled); });
}

NTSTATUS Enable(DeviceNode* node) {
    return OnPnpThreadAwake([node] {
        if (node->state != NodeState::Initialized && node->state != NodeState::Disabled &&
            node->state != NodeState::FailedStart)
            return STATUS_INVALID_DEVICE_STATE;
        return BuildAndStart(*node);
    });
}

void SurpriseRemove(DeviceNode* node) {
    PnpThread().Run([node] {
        node->reportedMissing = true;
        if (node->state == NodeState::SurpriseRemoved || node->state == NodeState::Deleted) return;
        if (!Built(node->state)) {
            // Nothing of ours is on the device: the bus driver alone learns that it is gone.
            SendPnp(*node, IRP_MN_REMOVE_DEVICE);
            node->state = NodeState::Deleted;
            return;
        }
        SendPnp(*node, IRP_MN_SURPRISE_REMOVAL);
        node->state = NodeState::SurpriseRemoved;
        if (node->openHandles == 0) RemoveAfterSurpriseRemoval(*node);
    });
}

void ReportDeviceGone(PDEVICE_OBJECT physicalDevice) {
    PnpThread().Queue([physicalDevice] {
        if (DeviceNode* node = FindNode(physicalDevice)) SurpriseRemove(node);
    });
}

void HandleOpened(PDEVICE_OBJECT device) {
    if (DeviceNode* node = FindNode(device)) ++node->openHandles;
}

void HandleClosed(PDEVICE_OBJECT device) {
    DeviceNode* node = FindNode(device);
    if (node == nullptr || node->openHandles == 0) return;
    if (--node->openHandles > 0 || node->state != NodeState::SurpriseRemoved || node->removalQueued) return;
    node->removalQueued = true;
    PnpThread().Queue([node] { RemoveAfterSurpriseRemoval(*node); });
}

unsigned OpenHandles(const DeviceNode* node) { return node->openHandles; }

Veto LastVeto(const DeviceNode* node) { return node->veto; }

NTSTATUS SendRequest(DeviceNode* node, UCHAR minorFunction, const std::function<void(PIO_STACK_LOCATION)>& fill,
                     ULONG_PTR* information) {
    return OnPnpThread([&] { return SendPnp(*node, minorFunction, fill, information); });
}

void WaitForIdle() { PnpThread().WaitForIdle(); }

NodeState State(const DeviceNode* node) { return node->state; }
PDEVICE_OBJECT PhysicalDevice(const DeviceNode* node) { return node->physicalDevice; }
bool ReportedMissing(const DeviceNode* node) { return node->reportedMissing; }
PDEVICE_OBJECT TopOfStack(const DeviceNode* node) { return StackBuilt(*node) ? Top(*node) : nullptr; }
const DEVICE_CAPABILITIES& Capabilities(const DeviceNode* node) { return node->capabilities; }
const DeviceDescription& Description(const DeviceNode* node) { return node->description; }

std::vector<DeviceNode*> Nodes() {
    std::vector<DeviceNode*> nodes;
    for (auto& node : AllNodes()) nodes.push_back(node.get());
    return nodes;
}

DeviceNode* FindNode(PDEVICE_OBJECT device) {
    for (auto& node : AllNodes()) {
        if (node->state == NodeState::Deleted) continue;
        if (node->physicalDevice == device) return node.get();
        for (const auto& entry : node->stack)
            if (entry.device == device) return node.get();
    }
    return nullptr;
}

} // namespace tarvel::pnp
