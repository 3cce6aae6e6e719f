// What installing a device from an INF means: which drivers serve it and what its hardware key holds.
// The emulated PnP manager carries this out for a plugged-in device, exactly as the INF says, so the
// INF in package/ is the one source of the drivers' settings for both targets.
#pragma once

#include "inf.h"

#include <cstdint>

namespace tarvel::setup {

// Registry value types as the platform numbers them.
enum class RegType : std::uint32_t { Sz = 1, ExpandSz = 2, Binary = 3, Dword = 4, MultiSz = 7 };

struct RegistryValue {
    std::string name;
    RegType type = RegType::Dword;
    std::vector<std::uint8_t> data; // as stored: little-endian numbers, UTF-16LE strings with terminators

    std::uint32_t AsDword() const; // the first four bytes, as the drivers read every value
};

struct ServiceInstall {
    std::string name;   // service name = driver module name
    std::string binary; // ServiceBinary, e.g. "%12%\tarvelpipe.sys"
    bool function = false;
};

struct DeviceInstall {
    std::string hardwareId;
    std::string description;
    std::string installSection;             // the decorated section actually used
    std::vector<ServiceInstall> services;   // in INF order
    std::string functionService;            // the service marked as the device's function driver
    std::vector<std::string> upperFilters;  // AddDevice order after the function driver
    std::vector<RegistryValue> hardwareKey; // the values of the device's hardware key
    std::vector<std::string> files;         // files copied by the install
};

// The install of the first model that names this hardware ID (case-insensitive) for x64; nullopt if no
// model matches. Throws InfError when the matching install is malformed.
std::optional<DeviceInstall> FindInstall(const Inf& inf, const std::string& hardwareId);

} // namespace tarvel::setup
