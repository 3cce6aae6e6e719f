// The rules a shipped driver image must keep, checked over the built images in CI. Each function
// returns the problems it finds, one sentence each; none means the image passes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loader/pe_image.h"

namespace tarvel::imagecheck {

using Version = std::array<uint16_t, 4>;

// The version of the DriverVer line of an INF ("DriverVer = 12/07/2026,1.0.0.0").
std::optional<Version> ReadDriverVer(const std::string& infPath, std::string& error);
std::string VersionText(const Version& version);

// Headers: PE32+ for x64, native subsystem, an entry point, an image and not a DLL, a valid
// checksum, no exports, imports only from ntoskrnl.exe, HAL.dll and USBD.SYS.
std::vector<std::string> CheckHeaders(const kernel::loader::pe::Image& image);
// Sections as the driver kit lays them out: code only in .text, PAGE* and INIT, all of them
// executable and readable, INIT discardable and nothing else that holds code; no section both
// writable and executable.
std::vector<std::string> CheckSections(const kernel::loader::pe::Image& image);
// A VERSIONINFO resource whose file and product version are the INF's.
std::vector<std::string> CheckVersion(const kernel::loader::pe::Image& image, const Version& expected);

}  // namespace tarvel::imagecheck
