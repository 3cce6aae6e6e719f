// Names of what travels between the drivers and the bus, for the request trace and the reports.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>

namespace tarvel::machine {

std::string Hex(std::uint64_t value, int digits = 8);
// "STATUS_SUCCESS", or "0xC00000xx" for a code without a name here.
std::string StatusName(NTSTATUS status);
std::string MajorFunctionName(UCHAR major);
std::string PnpMinorName(UCHAR minor);
std::string PowerMinorName(UCHAR minor);
// IOCTL_PIPE_*, IOCTL_SERIAL_*, IOCTL_PORT_* and IOCTL_INTERNAL_USB_* codes; hexadecimal otherwise.
std::string ControlCodeName(ULONG code);
std::string UrbFunctionName(USHORT function);
// The adapter's vendor commands by their first payload byte.
std::string VendorCommandName(UCHAR code);

} // namespace tarvel::machine
