// Requests of an unknown minor function to the top of a started stack (see tarvel/pnp.h).
#include <cstdio>
#include <string>

#include "pnp/device_node.h"
#include "pnp/manager_thread.h"
#include "pnp/requests.h"
#include "tarvel/kernel.h"
#include "verifier/status_text.h"

namespace tarvel::pnp {

namespace {

const char* MajorName(UCHAR major) {
    switch (major) {
    case IRP_MJ_PNP: return "IRP_MJ_PNP";
    case IRP_MJ_POWER: return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
    default: return "request";
    }
}

} // namespace

bool SendUnknownRequest(DeviceNode* node, UCHAR majorFunction, UCHAR minorFunction) {
    bool sent = false;
    PnpThread().Run([&] {
        if (node->state != NodeState::Started || node->stack.empty()) return;
        sent = true;
        PDEVICE_OBJECT top = node->stack.back().device;
        const RequestResult result = SendAndWait(top, majorFunction, minorFunction, [&](PIO_STACK_LOCATION location) {
            // A WMI request names the provider it is for; this one is for no driver of the stack.
            if (majorFunction == IRP_MJ_SYSTEM_CONTROL) location->Parameters.WMI.ProviderId = 0;
        });
        if (result.status != STATUS_NOT_SUPPORTED || result.information != 0)
            kernel::VerifierStop("unknown request not passed down untouched", MajorName(majorFunction), top,
                                 "minor function " + std::to_string(minorFunction) + " came back with status " +
                                     kernel::StatusText(result.status) + ", Information " +
                                     std::to_string(result.information) + " (sent with STATUS_NOT_SUPPORTED, 0)");
    });
    return sent;
}

} // namespace tarvel::pnp
