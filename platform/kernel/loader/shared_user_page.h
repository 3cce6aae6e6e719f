// The shared user page (KUSER_SHARED_DATA at 0xFFFFF78000000000) as a driver image reads it: the time
// fields, filled from the virtual clock at the moment of the read by the kernel's own time routines, so
// an image that reads the page and a module that calls KeQuerySystemTime see the same time. Offsets
// are those of the platform's ntddk.h. Private.
#pragma once

#include <cstdint>
#include <optional>

namespace tarvel::kernel::loader {

inline constexpr uint32_t kSharedTickCountMultiplier = 0x004;
inline constexpr uint32_t kSharedInterruptTime = 0x008;  // KSYSTEM_TIME: LowPart, High1Time, High2Time
inline constexpr uint32_t kSharedSystemTime = 0x014;
inline constexpr uint32_t kSharedTimeZoneBias = 0x020;
inline constexpr uint32_t kSharedTickCount = 0x320;      // KSYSTEM_TIME, read as TickCountQuad

// The size bytes (1 to 8) at address in the shared page, little-endian; nothing when they are not all
// inside a field the emulated kernel provides (the run is stopped rather than given a made-up value).
std::optional<uint64_t> ReadSharedUserData(uint64_t address, unsigned size);

}  // namespace tarvel::kernel::loader
