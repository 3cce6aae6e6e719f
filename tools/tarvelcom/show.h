// The parts of the report that describe the machine: the install, the hardware key, the device stack,
// the COM port's names, and what the teardown left behind.
#pragma once

#include "console.h"
#include "options.h"
#include "tarvel/machine/machine.h"

namespace tarvelcom {

void ShowInstall(Console& out, const tarvel::machine::Machine& machine, const tarvel::machine::Adapter& adapter,
                 const Options& options);
void ShowStack(Console& out, const tarvel::machine::Adapter& adapter);
void ShowPortNames(Console& out, const tarvel::machine::Adapter& adapter);
// After the unplug: whether the port's names went with the device.
bool ShowRemoval(Console& out, const tarvel::machine::Adapter& adapter);
void ShowTeardown(Console& out, const tarvel::machine::TeardownReport& report);
// The value the device's hardware key holds for name (the INF's, or the run's setting).
ULONG HardwareKeyDword(const tarvel::machine::Adapter& adapter, const std::string& name, ULONG otherwise);
// What the adapter's UART model decoded from the driver's requests: "115200 baud, 8N1, RTS/CTS", with
// a note when the variant in force sends no line settings to the adapter.
std::string DescribeUart(tarvel::machine::Adapter& adapter);
// "the parameter is incorrect (87)".
std::string ErrorText(DWORD error);

} // namespace tarvelcom
