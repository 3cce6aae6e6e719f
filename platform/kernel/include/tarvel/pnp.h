// The emulated PnP and power managers: what bus drivers, tools and tests use to bring device stacks up,
// move them through the platform's PnP sequences and power transitions, and take them down.
//
// A device node is one physical device object (created by a bus driver) with the stack that its
// function driver and upper filters build on it. Every request goes to the top of the stack on the PnP
// or power manager's own emulated thread at PASSIVE_LEVEL, with Status set to STATUS_NOT_SUPPORTED, and
// the routines below return once it has completed. They are called from an emulated thread at
// PASSIVE_LEVEL (the test body after Boot, or a thread started with StartThread).
#pragma once

#include <ntddk.h>

#include "tarvel/io.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The platform's status for a removal that was vetoed (a warning: NT_SUCCESS is false for it).
#ifndef STATUS_PLUGPLAY_QUERY_VETOED
#define STATUS_PLUGPLAY_QUERY_VETOED ((NTSTATUS)0x80000028L)
#endif

namespace tarvel::pnp {

// What serves a device: the drivers in AddDevice order and what its hardware key holds.
struct DeviceDescription {
    std::string functionService;           // driver module of the function driver
    std::vector<std::string> upperFilters; // attached above it, in this order
    std::vector<std::string> hardwareIds;  // best match first
    std::vector<io::RegistryValue> hardwareKey;
    std::string instancePath;              // "USB\VID_xxxx&PID_yyyy\serial"; made up from the first
                                           // hardware ID when empty
    std::string friendlyName;              // for reports
    // A serial port (the Ports class): unless the hardware-key values give PortName, the COM-name
    // arbiter assigns one, the same for the same instance path every time. COM1 and COM2 are the
    // machine's own ports, so the first device gets COM3.
    bool serialPort = false;
};

enum class NodeState {
    Initialized,     // stack not built (never installed, disabled, or removed while present)
    Started,         // start succeeded
    StopPending,     // query-stop succeeded
    Stopped,         // stop sent; start follows
    RemovePending,   // query-remove succeeded
    SurpriseRemoved, // surprise removal sent; removal waits for the last handle
    FailedStart,     // AddDevice, capabilities or start failed; the stack was taken down again
    Disabled,        // removed by Disable; Enable builds it again
    Deleted,         // the device is gone: removal after a surprise removal went through
};
const char* NodeStateName(NodeState state);

struct DeviceNode; // owned by the PnP manager for the rest of the run

// Installs a device: loads the drivers (each once, shared by all its devices), creates the hardware key,
// calls AddDevice of the function driver and then of each upper filter, queries the capabilities and
// starts the stack. A failure on the way takes the stack down again (removal request, drivers without
// devices unloaded) and leaves the node in FailedStart; the status tells why. The node is returned
// in both cases (through node, if given).
NTSTATUS InstallDevice(PDEVICE_OBJECT physicalDevice, const DeviceDescription& description,
                       DeviceNode** node = nullptr);
// The same for a bus driver that finds a new device, from any context: the PnP thread installs it
// later and calls done (if given) there with the outcome; returns at once.
void ReportDeviceArrived(PDEVICE_OBJECT physicalDevice, DeviceDescription description,
                         std::function<void(NTSTATUS, DeviceNode*)> done = {});

// The platform's sequences. A failed query is followed by its cancel, as the platform does, and the
// query's status is returned; otherwise the status of the last request of the sequence. Asked for
// while the system sleeps, a sequence (these and the removals and Enable below) waits for the return
// to the working state: the device tree does not change on a sleeping machine.
NTSTATUS Rebalance(DeviceNode* node);             // query-stop, stop, start
NTSTATUS QueryStopAndCancel(DeviceNode* node);    // query-stop, cancel-stop
// The orderly removals (uninstall, a query the user takes back, disable). While a file object is open
// on any device of the stack (an application's handle, a handle closed with a request still in
// flight, a kernel component's reference from IoGetDeviceObjectPointer) the PnP manager vetoes the
// removal before it asks the stack anything: nothing is sent, the node stays Started and the result
// is STATUS_PLUGPLAY_QUERY_VETOED with PNP_VetoOutstandingOpen. Asking first would not do: a driver
// that accepts the query then waits in its removal for the close, and a driver's query may itself wait
// for requests that only the holder of the handle ends. A driver that fails the query is a
// PNP_VetoDevice; its status is returned. LastVeto tells either. Opens of the stack are refused
// (STATUS_DELETE_PENDING) from the check until the sequence has ended.
NTSTATUS QueryRemoveAndRemove(DeviceNode* node);  // query-remove, remove: stack gone, device still present
NTSTATUS QueryRemoveAndCancel(DeviceNode* node);  // query-remove, cancel-remove
NTSTATUS Disable(DeviceNode* node);               // query-remove, remove; the node stays Disabled
NTSTATUS Enable(DeviceNode* node);                // builds and starts the stack again

// Why an orderly removal was refused, with the platform's values.
enum PNP_VETO_TYPE {
    PNP_VetoTypeUnknown,
    PNP_VetoLegacyDevice,
    PNP_VetoPendingClose,
    PNP_VetoWindowsApp,
    PNP_VetoWindowsService,
    PNP_VetoOutstandingOpen, // a file object is open on the stack
    PNP_VetoDevice,          // a driver of the stack failed the query
    PNP_VetoDriver,
    PNP_VetoIllegalDeviceRequest,
    PNP_VetoInsufficientPower,
    PNP_VetoNonDisableable,
    PNP_VetoLegacyDriver,
    PNP_VetoInsufficientRights,
    PNP_VetoAlreadyRemoved,
};
struct Veto {
    PNP_VETO_TYPE type = PNP_VetoTypeUnknown;
    std::string name; // what vetoed: the device's instance path ("USB\VID_xxxx&PID_yyyy\serial")
};
// The veto of the node's last orderly removal; type PNP_VetoTypeUnknown and no name if it was not
// vetoed (or none was tried).
Veto LastVeto(const DeviceNode* node);
// The device has gone (unplugged): surprise removal to a started stack, then removal as soon as no
// handle to any device of the stack is open (at once if none is). The bus driver deletes its physical
// device object when the removal reaches it; the node ends Deleted.
void SurpriseRemove(DeviceNode* node);
// The same for a bus driver that finds its device gone, from any context (a completion routine, a
// DPC): the PnP thread carries it out later; returns at once.
void ReportDeviceGone(PDEVICE_OBJECT physicalDevice);

// One PnP request to the top of the stack, for tests and tools. fill sets up the stack location
// (MajorFunction and MinorFunction are set already); information receives IoStatus.Information.
NTSTATUS SendRequest(DeviceNode* node, UCHAR minorFunction,
                     const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                     ULONG_PTR* information = nullptr);

// The Enhanced I/O verification of the platform's verifier: a PnP, power or system-control request
// with a minor function no driver knows, sent to the top of a started stack on the PnP thread with
// Status STATUS_NOT_SUPPORTED. Every driver must pass it down untouched and the bus complete it as it
// came; a status or Information changed on the way stops the run. False if the node's stack was not
// started (nothing sent).
bool SendUnknownRequest(DeviceNode* node, UCHAR majorFunction, UCHAR minorFunction);

// Waits until the PnP manager has nothing queued (e.g. the removal that a last CloseHandle started).
void WaitForIdle();

NodeState State(const DeviceNode* node);
PDEVICE_OBJECT PhysicalDevice(const DeviceNode* node);
// Whether the PnP manager has taken in its bus driver's report that the device is gone. Until then the
// bus driver keeps the physical device object at a removal (a failed start's, a disable's), as the PnP
// manager still counts it present and may send it more.
bool ReportedMissing(const DeviceNode* node);
PDEVICE_OBJECT TopOfStack(const DeviceNode* node); // nullptr while the stack is not built
const DEVICE_CAPABILITIES& Capabilities(const DeviceNode* node);
const DeviceDescription& Description(const DeviceNode* node);
std::vector<DeviceNode*> Nodes();
DeviceNode* FindNode(PDEVICE_OBJECT deviceInStack); // any device of a node's stack, or its PDO

// Handles of the application side. Opening or closing a handle on any device of a node's stack is
// reported here; the last close after a surprise removal lets the removal go out.
void HandleOpened(PDEVICE_OBJECT device);
void HandleClosed(PDEVICE_OBJECT device);
unsigned OpenHandles(const DeviceNode* node);

} // namespace tarvel::pnp

namespace tarvel::power {

// A system power transition of every started device node: a query then a set for a sleeping state (S1 to
// S5), only a set for S0. A failed query abandons the transition: the nodes already queried get a set
// to S0 and the query's status is returned. Sleeping goes through the nodes newest first, waking
// oldest first. The action defaults to the one the platform uses with the state.
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state);
NTSTATUS SetSystemState(SYSTEM_POWER_STATE state, POWER_ACTION action);
SYSTEM_POWER_STATE SystemState();

// The device power state that a driver last reported with PoSetPowerState (PowerDeviceUnspecified if
// never).
DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device);

} // namespace tarvel::power
