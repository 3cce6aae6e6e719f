// System power transitions: the power manager's query and set requests to the top of every device
// stack that is built.
#include "pnp/boot.h"
#include "pnp/device_node.h"
#include "pnp/manager_thread.h"
#include "pnp/requests.h"

namespace tarvel::power {

namespace {

SYSTEM_POWER_STATE& Current() {
    static SYSTEM_POWER_STATE state = PowerSystemWorking;
    return state;
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemWorking: return PowerActionNone;
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdownOff;
    default: return PowerActionSleep;
    }
}

std::vector<pnp::DeviceNode*> PoweredNodes() {
    std::vector<pnp::DeviceNode*> nodes;
    for (auto& node : pnp::AllNodes()) {
        const auto state = node->state;
        if (state == pnp::NodeState::Started || state == pnp::NodeState::StopPending ||
            state == pnp::NodeState::Stopped || state == pnp::NodeState::RemovePending)
            nodes.push_back(node.get());
    }
    return nodes;
}

NTSTATUS SendSystemRequest(pnp::DeviceNode& node, UCHAR minorFunction, SYSTEM_POWER_STATE state,
                           POWER_ACTION action) {
    return pnp::SendAndWait(pnp::Top(node), IRP_MJ_POWER, minorFunction, [&](PIO_STACK_LOCATION location) {
               location->Parameters.Power.SystemContext = 0;
               location->Parameters.Power.Type = SystemPowerState;
               location->Parameters.Power.State.SystemState = state;
               location->Parameters.Power.ShutdownType = action;
           })
        .status;
}

NTSTATUS Transition(SYSTEM_POWER_STATE state, POWER_ACTION action) {
    auto nodes = PoweredNodes();
    if (state == PowerSystemWorking) {
        NTSTATUS result = STATUS_SUCCESS;
        for (auto* node : nodes) {
            const NTSTATUS status = SendSystemRequest(*node, IRP_MN_SET_POWER, state, action);
            if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
        }
        Current() = state;
        pnp::PnpThread().ReleaseHeld();   // what the PnP manager was asked while the system slept
        return result;
    }
    std::vector<pnp::DeviceNode*> queried;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        const NTSTATUS status = SendSystemRequest(**it, IRP_MN_QUERY_POWER, state, action);
        queried.push_back(*it);
        if (!NT_SUCCESS(status)) {
            // The sleep is abandoned: every stack that was asked hears that the system stays working.
            for (auto* node : queried) SendSystemRequest(*node, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone);
            return status;
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        const NTSTATUS status = SendSystemRequest(**it, IRP_MN_SET_POWER, state, action);
        if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
    Current() = state;
    return result;
}

} // namespace

void ResetSystemState() { Current() = PowerSystemWorking; }

NTSTATUS SetSystemState(SYSTEM_POWER_STATE state) { return SetSystemState(state, ActionFor(state)); }

NTSTATUS SetSystemState(SYSTEM_POWER_STATE state, POWER_ACTION action) {
    if (state <= PowerSystemUnspecified || state >= PowerSystemMaximum) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    // On the PnP thread: a transition never meets a stack that is being built or taken down.
    pnp::PnpThread().Run([&] { status = Transition(state, action); });
    return status;
}

SYSTEM_POWER_STATE SystemState() { return Current(); }

} // namespace tarvel::power
