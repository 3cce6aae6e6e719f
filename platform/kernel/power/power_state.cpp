// PoSetPowerState: drivers tell the power manager the power state their device is in.
#include <ntddk.h>

#include <map>

#include "tarvel/kernel.h"
#include "pnp/boot.h"
#include "tarvel/pnp.h"

namespace {

struct ReportedStates {
    DEVICE_POWER_STATE device = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE system = PowerSystemUnspecified;
};

std::map<PDEVICE_OBJECT, ReportedStates>& Reported() {
    static std::map<PDEVICE_OBJECT, ReportedStates> reported;
    return reported;
}

} // namespace

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    tarvel::kernel::SwitchPoint();
    ReportedStates& states = Reported()[DeviceObject];
    POWER_STATE previous;
    if (Type == DevicePowerState) {
        previous.DeviceState = states.device;
        states.device = State.DeviceState;
    } else {
        previous.SystemState = states.system;
        states.system = State.SystemState;
    }
    return previous;
}

namespace tarvel::power {

DEVICE_POWER_STATE ReportedDeviceState(PDEVICE_OBJECT device) {
    auto found = Reported().find(device);
    return found == Reported().end() ? PowerDeviceUnspecified : found->second.device;
}

void ForgetReportedStates(PDEVICE_OBJECT device) { Reported().erase(device); }

void ResetReportedStates() { Reported().clear(); }

} // namespace tarvel::power
