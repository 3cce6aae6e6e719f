// Bus-level vocabulary shared by the device models and the host controller.
#pragma once

#include <cstdint>

namespace tarvel::usb {

using VirtualTime = std::int64_t;  // 100-ns units since boot, the emulated kernel's clock

// Source of the current virtual time. The host controller and the bus give models the kernel's clock;
// unit tests of a model may give it one they move by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual VirtualTime Now() const = 0;
};

enum class Speed { Full, High };
enum class EndpointType : std::uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

// How a device answers one packet. Timeout: no answer at all (the device has left the bus, or is too
// broken to answer); the host gives up after its retries.
enum class Handshake { Ack, Nak, Stall, Timeout };

struct SetupPacket {
    std::uint8_t requestType = 0;  // bit 7 device-to-host, bits 6..5 type, bits 4..0 recipient
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    bool DeviceToHost() const { return (requestType & 0x80) != 0; }
    std::uint8_t Type() const { return (requestType >> 5) & 3; }  // 0 standard, 1 class, 2 vendor
    std::uint8_t Recipient() const { return requestType & 0x1F; }
};

constexpr std::uint8_t kRequestTypeStandard = 0, kRequestTypeClass = 1, kRequestTypeVendor = 2;

// Outcome of a control transfer or of one IN packet: Ack with `length` bytes moved, or Nak / Stall /
// Timeout. For IN data `length` is what the device put on the wire, which a faulty device may make
// longer than the host asked for (and longer than the buffer it wrote into): the host controller
// decides what of it lands.
struct Outcome {
    Handshake handshake = Handshake::Ack;
    std::uint32_t length = 0;
};

inline bool IsIn(std::uint8_t endpointAddress) { return (endpointAddress & 0x80) != 0; }

}  // namespace tarvel::usb
