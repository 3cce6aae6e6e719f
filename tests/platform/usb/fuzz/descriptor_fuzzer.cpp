// libFuzzer target: a configuration descriptor from a hostile device. The walk, the searches and the
// validation must end and stay inside the bytes whatever they hold; AddressSanitizer checks the bounds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "usb/descriptors/descriptor_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A block of exactly the input's size, so any over-read is outside it.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    const tarvel::usb::Bytes bytes(copy.get(), size);

    const bool defect = tarvel::usb::ConfigurationDefect(bytes).has_value();
    (void)tarvel::usb::DeviceDescriptorSound(bytes);
    const auto extent = tarvel::usb::ConfigurationExtent(bytes);
    if (!extent) return 0;
    std::size_t interfaces = 0;
    for (std::size_t start = 0; start < extent->size();) {
        const auto found = tarvel::usb::FindInterface(*extent, start, -1, -1, -1, -1, -1);
        if (!found) break;
        const auto endpoints = tarvel::usb::InterfaceEndpoints(*extent, found->offset);
        // A configuration found sound must have every interface's endpoints in order.
        if (!defect && (!endpoints || endpoints->size() != found->numEndpoints)) __builtin_trap();
        ++interfaces;
        // The next search starts at the next descriptor, as drivers walk it: a start inside a
        // descriptor reads its bytes as descriptors of their own.
        start = found->offset + (*extent)[found->offset];
    }
    for (int number = 0; number < 4; ++number)
        (void)tarvel::usb::FindInterface(*extent, 0, number, 0, -1, -1, -1);
    if (!defect && interfaces == 0 && (*extent)[4] != 0) __builtin_trap();
    return 0;
}
