// The COM-name arbiter: each serial port device instance gets a COM number of its own, kept for the
// instance across reinstallation. COM1 and COM2 belong to the machine's own ports.
#pragma once

#include <string>

namespace tarvel::pnp {

// "COMn" for the instance, the lowest free number on first use; empty when every number is taken.
std::string ReservePortName(const std::string& instancePath);
void ResetPortNames();

} // namespace tarvel::pnp
