// One transfer as the host controller carries it: what the client asked for and what came of it.
#pragma once

#include <cstdint>
#include <vector>

#include "usb/model/usb_types.h"

namespace tarvel::usb {

// Results in the platform's USBD status encoding (values as the platform's usb.h defines them).
namespace usbd {
constexpr std::int32_t kSuccess = 0x00000000;
constexpr std::int32_t kPending = 0x40000000;
constexpr std::int32_t kStallPid = static_cast<std::int32_t>(0xC0000004);
constexpr std::int32_t kDevNotResponding = static_cast<std::int32_t>(0xC0000005);
constexpr std::int32_t kDataOverrun = static_cast<std::int32_t>(0xC0000008);
constexpr std::int32_t kDataUnderrun = static_cast<std::int32_t>(0xC0000009);
constexpr std::int32_t kBabbleDetected = static_cast<std::int32_t>(0xC0000012);
constexpr std::int32_t kEndpointHalted = static_cast<std::int32_t>(0xC0000030);
constexpr std::int32_t kInvalidUrbFunction = static_cast<std::int32_t>(0x80000200);
constexpr std::int32_t kInvalidParameter = static_cast<std::int32_t>(0x80000300);
constexpr std::int32_t kInvalidPipeHandle = static_cast<std::int32_t>(0x80000600);
constexpr std::int32_t kBadStartFrame = static_cast<std::int32_t>(0xC0000A00);
constexpr std::int32_t kIsochRequestFailed = static_cast<std::int32_t>(0xC0000B00);
constexpr std::int32_t kInvalidConfigurationDescriptor = static_cast<std::int32_t>(0xC0000F00);
constexpr std::int32_t kInsufficientResources = static_cast<std::int32_t>(0xC0001000);
constexpr std::int32_t kSetConfigFailed = static_cast<std::int32_t>(0xC0002000);
constexpr std::int32_t kBufferTooSmall = static_cast<std::int32_t>(0xC0003000);
constexpr std::int32_t kInterfaceNotFound = static_cast<std::int32_t>(0xC0004000);
constexpr std::int32_t kDeviceGone = static_cast<std::int32_t>(0xC0007000);
constexpr std::int32_t kCanceled = static_cast<std::int32_t>(0xC0010000);
constexpr std::int32_t kIsoNotAccessedLate = static_cast<std::int32_t>(0xC0050000);
}  // namespace usbd

struct IsoPacketResult {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;  // IN: bytes received
    std::int32_t status = usbd::kSuccess;
};

struct Transfer {
    // The request.
    EndpointType type = EndpointType::Bulk;
    std::uint8_t endpoint = 0;  // address; 0 for the default control pipe
    bool in = false;
    std::uint8_t* buffer = nullptr;
    std::uint32_t length = 0;
    bool shortOk = false;
    SetupPacket setup;                     // control transfers
    std::vector<IsoPacketResult> packets;  // isochronous: offsets in, lengths and statuses out
    bool isoAsap = true;
    std::uint32_t isoStartFrame = 0;

    // The outcome.
    std::uint32_t actual = 0;
    std::int32_t status = usbd::kPending;
    std::uint32_t isoErrors = 0;

    // Scheduling state (host controller).
    std::uint64_t eligibleFrame = 0;  // first (micro)frame in which it may move
    std::uint64_t eligibleSlot = 0;   // bulk: first slot in which it may move
    std::uint32_t isoNext = 0;        // next packet index
    std::uint64_t isoFirstFrame = 0;  // (micro)frame of packet 0

    void* owner = nullptr;  // the request it belongs to (the bus driver's business)
};

}  // namespace tarvel::usb
