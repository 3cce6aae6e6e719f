// What a device model looks like on the bus: its identity, speed and interfaces, and the standard
// descriptors built from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usb/model/usb_types.h"

namespace tarvel::usb {

struct EndpointBlueprint {
    std::uint8_t address = 0;  // bit 7 set for IN
    EndpointType type = EndpointType::Bulk;
    std::uint16_t maxPacketSize = 64;
    std::uint8_t interval = 0;  // interrupt and isochronous: frames (full speed) or 2^(n-1) microframes
};

struct InterfaceBlueprint {
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t interfaceClass = 0xFF;
    std::uint8_t subClass = 0;
    std::uint8_t protocol = 0;
    std::vector<EndpointBlueprint> endpoints;
    // Class-specific descriptors placed right after the interface descriptor, bytes as given.
    std::vector<std::vector<std::uint8_t>> extraDescriptors;
};

struct DeviceBlueprint {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0x0100;
    std::uint8_t deviceClass = 0;
    std::uint8_t deviceSubClass = 0;
    std::uint8_t deviceProtocol = 0;
    std::uint8_t maxPacketSize0 = 64;
    Speed speed = Speed::Full;
    bool selfPowered = false;
    bool remoteWakeup = false;
    std::uint8_t maxPowerMilliamps = 100;
    std::uint8_t configurationValue = 1;
    std::string manufacturer;  // string descriptors 1, 2, 3 when not empty
    std::string product;
    std::string serialNumber;
    std::vector<InterfaceBlueprint> interfaces;
};

std::vector<std::uint8_t> BuildDeviceDescriptor(const DeviceBlueprint& blueprint);
std::vector<std::uint8_t> BuildConfigurationDescriptor(const DeviceBlueprint& blueprint);
// String descriptor `index` (0 = the language list, US English) or empty if the device has none.
std::vector<std::uint8_t> BuildStringDescriptor(const DeviceBlueprint& blueprint, std::uint8_t index);

// Ways a configuration descriptor lies about itself, as broken and hostile devices' do. A device serves
// one through DeviceModel::ServeConfigurationDescriptor while its endpoints go on working as built.
enum class DescriptorLie {
    TotalLengthLong,    // wTotalLength claims bytes the device never sends
    TotalLengthShort,   // wTotalLength ends inside the last endpoint descriptor
    ZeroLength,         // a descriptor after the first one has bLength 0
    LengthPastEnd,      // the last descriptor's bLength runs past wTotalLength
    EndpointTooShort,   // an endpoint descriptor's bLength (4) is too short for its fields
    MissingEndpoints,   // bNumEndpoints counts more endpoints than follow
    PacketSizeZero,     // an endpoint announces packets of 0 bytes
    PacketSizeSmaller,  // an endpoint announces packets of 8 bytes and sends its real ones
    PacketSizeLarger,   // an endpoint announces twice its real packet size
};
constexpr unsigned kDescriptorLies = 9;
// The blueprint's configuration descriptor with `lie` told about its `which`-th endpoint (counted over
// all interfaces, modulo their number) where the lie concerns one.
std::vector<std::uint8_t> LyingConfigurationDescriptor(const DeviceBlueprint& blueprint, DescriptorLie lie, unsigned which = 0);

}  // namespace tarvel::usb
