#include "device_input.h"

#include <algorithm>

namespace installfuzz {

namespace {
constexpr std::uint8_t kHighSpeed = 0x01, kRemoteWakeup = 0x02;
}

std::optional<DeviceInput> DecodeDeviceInput(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 2) return std::nullopt;
    DeviceInput input;
    input.highSpeed = (bytes[0] & kHighSpeed) != 0;
    input.remoteWakeup = (bytes[0] & kRemoteWakeup) != 0;
    const std::span<const std::uint8_t> rest = bytes.subspan(2);
    const std::size_t deviceLength = std::min<std::size_t>(bytes[1], rest.size());
    input.deviceDescriptor.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(deviceLength));
    input.configurationDescriptor.assign(rest.begin() + static_cast<std::ptrdiff_t>(deviceLength), rest.end());
    return input;
}

}  // namespace installfuzz
