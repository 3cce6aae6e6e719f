#include "pnp/drivers.h"

#include "pnp/boot.h"

#include <map>

#include "tarvel/kernel.h"

namespace tarvel::pnp {

namespace {

struct DriverUse {
    unsigned nodes = 0;
    bool loadedHere = false; // drivers loaded by someone else are left to them
};

std::map<PDRIVER_OBJECT, DriverUse>& Uses() {
    static std::map<PDRIVER_OBJECT, DriverUse> uses;
    return uses;
}

} // namespace

void ResetDrivers() { Uses().clear(); }

PDRIVER_OBJECT AcquireDriver(const std::string& service) {
    PDRIVER_OBJECT driver = kernel::FindDriver(service.c_str());
    bool loadedHere = false;
    if (driver == nullptr) {
        driver = kernel::LoadDriver(service.c_str());
        if (driver == nullptr) return nullptr;
        loadedHere = true;
    }
    DriverUse& use = Uses()[driver];
    if (use.nodes == 0 && loadedHere) use.loadedHere = true;
    ++use.nodes;
    return driver;
}

void ReleaseDriver(PDRIVER_OBJECT driver) {
    auto found = Uses().find(driver);
    if (found == Uses().end() || found->second.nodes == 0) return;
    if (--found->second.nodes > 0) return;
    const bool unload = found->second.loadedHere && driver->DeviceObject == nullptr;
    if (found->second.loadedHere && !unload) return; // a device of its own keeps it loaded
    Uses().erase(found);
    if (unload) kernel::UnloadDriver(driver);
}

} // namespace tarvel::pnp
