// Every boot starts with no device node, no driver held for one, idle manager threads, a working
// system and no reported device power state.
#include "pnp/boot.h"

#include "exec/engine.h"
#include "pnp/port_names.h"

namespace tarvel::pnp {
namespace {

void BootPnp() {
    ResetNodes();
    ResetDrivers();
    ResetManagerThreads();
    ResetPortNames();
    power::ResetReportedStates();
    power::ResetSystemState();
}

const kernel::exec::ComponentRegistration registration{{"pnp", BootPnp, nullptr}};

} // namespace
} // namespace tarvel::pnp
