// What one input of the install fuzzer describes: the device the adapter claims to be. Its layout is
//   byte 0     bit 0: high speed (else full speed), bit 1: the model may signal remote wake-up
//   byte 1     n, the length of the device descriptor that follows
//   n bytes    the device descriptor the device serves (fewer if the input ends first)
//   the rest   the configuration descriptor the device serves
// so that every mutation of the bytes is a device, and lengths that disagree with the bytes are too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace installfuzz {

struct DeviceInput {
    bool highSpeed = false;
    bool remoteWakeup = false;
    std::vector<std::uint8_t> deviceDescriptor;
    std::vector<std::uint8_t> configurationDescriptor;
};

// nullopt for an input too short to name the two descriptors.
std::optional<DeviceInput> DecodeDeviceInput(std::span<const std::uint8_t> bytes);

}  // namespace installfuzz
