// Pool tags of the I/O manager, object manager, registry and run-time library (written as the
// multi-character literal whose memory order is the tag the pool shows, as drivers write theirs).
#pragma once

#include <cstdint>

namespace tarvel::kernel_tags {

constexpr std::uint32_t kRtlString = 'rtsU';       // "Ustr": strings the run-time library allocates
constexpr std::uint32_t kDeviceObject = 'iveD';    // "Devi": device objects and their extensions
constexpr std::uint32_t kInterfaceName = 'IpnP';   // "PnpI": symbolic link names of device interfaces
constexpr std::uint32_t kSystemBuffer = 'SoI ';    // " IoS": system buffers of buffered I/O
constexpr std::uint32_t kFileObject = 'eliF';      // "File": file objects of application opens

}  // namespace tarvel::kernel_tags
