// Reading USB descriptors that come from a device. The device is not trusted: every length and count
// in its descriptors is checked against the bytes that are actually there, and a descriptor that does
// not fit ends the walk instead of being read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarvel::usb {

constexpr std::uint8_t kDeviceDescriptorType = 1;
constexpr std::uint8_t kConfigurationDescriptorType = 2;
constexpr std::uint8_t kStringDescriptorType = 3;
constexpr std::uint8_t kInterfaceDescriptorType = 4;
constexpr std::uint8_t kEndpointDescriptorType = 5;

constexpr std::size_t kDeviceDescriptorLength = 18;
constexpr std::size_t kConfigurationDescriptorLength = 9;
constexpr std::size_t kInterfaceDescriptorLength = 9;
constexpr std::size_t kEndpointDescriptorLength = 7;

using Bytes = std::span<const std::uint8_t>;

// One descriptor: where it starts in the configuration and its bLength bytes.
struct DescriptorRef {
    std::size_t offset = 0;
    Bytes bytes;
    std::uint8_t Type() const { return bytes[1]; }
};

// Walks the descriptors of a configuration from an offset. The walk stops at the end of the bytes or at
// the first descriptor that is malformed: bLength below 2, or running past the end.
class DescriptorWalker {
public:
    DescriptorWalker(Bytes configuration, std::size_t start) : bytes_(configuration), offset_(start) {}
    std::optional<DescriptorRef> Next();
    bool Malformed() const { return malformed_; }

private:
    Bytes bytes_;
    std::size_t offset_;
    bool malformed_ = false;
};

struct InterfaceFields {
    std::size_t offset = 0;  // of the interface descriptor in the configuration
    std::uint8_t number = 0;
    std::uint8_t alternate = 0;
    std::uint8_t numEndpoints = 0;
    std::uint8_t interfaceClass = 0;
    std::uint8_t subClass = 0;
    std::uint8_t protocol = 0;
};

struct EndpointFields {
    std::uint8_t address = 0;
    std::uint8_t attributes = 0;  // bits 1..0: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    std::uint16_t maxPacketSize = 0;
    std::uint8_t interval = 0;
};

// The bytes of a configuration descriptor that may be walked: wTotalLength of them, cut to what the
// buffer holds. None if the buffer does not start with a configuration descriptor of at least 9 bytes
// or wTotalLength is below 9.
std::optional<Bytes> ConfigurationExtent(Bytes buffer);

std::uint16_t ReadLe16(const std::uint8_t* p);

// The first interface descriptor at or after `start` whose fields match; -1 matches anything. An
// interface descriptor shorter than 9 bytes is malformed and ends the search.
std::optional<InterfaceFields> FindInterface(Bytes configuration, std::size_t start, int number, int alternate,
                                             int interfaceClass, int subClass, int protocol);

// The endpoint descriptors of the interface whose descriptor starts at `interfaceOffset`: those up to
// the next interface descriptor. None if they are not exactly bNumEndpoints well-formed endpoints.
std::optional<std::vector<EndpointFields>> InterfaceEndpoints(Bytes configuration, std::size_t interfaceOffset);

enum class DefectKind { ConfigurationLength, DescriptorLength, InterfaceDescriptor, EndpointDescriptor,
                        NumberOfEndpoints, NumberOfInterfaces };
struct Defect {
    DefectKind kind;
    std::size_t offset;  // of the descriptor at fault
    const char* what;
};

// Checks a whole configuration: every descriptor inside wTotalLength, standard descriptors at least
// their standard length, bNumInterfaces distinct interface numbers, each interface with its
// bNumEndpoints endpoints. Returns nothing when sound, else the first defect.
std::optional<Defect> ConfigurationDefect(Bytes buffer);

// A device descriptor that is at least 18 bytes of type 1 with a usable bMaxPacketSize0.
bool DeviceDescriptorSound(Bytes buffer);

}  // namespace tarvel::usb
