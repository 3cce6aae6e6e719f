#include "usb/descriptors/descriptor_parse.h"

#include <bitset>

namespace tarvel::usb {

std::uint16_t ReadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::optional<DescriptorRef> DescriptorWalker::Next() {
    if (malformed_ || offset_ >= bytes_.size()) return std::nullopt;
    const std::size_t left = bytes_.size() - offset_;
    if (left < 2) {
        malformed_ = true;  // a trailing byte that cannot even hold bLength and bDescriptorType
        return std::nullopt;
    }
    const std::uint8_t length = bytes_[offset_];
    if (length < 2 || length > left) {
        malformed_ = true;
        return std::nullopt;
    }
    DescriptorRef ref{offset_, bytes_.subspan(offset_, length)};
    offset_ += length;
    return ref;
}

std::optional<Bytes> ConfigurationExtent(Bytes buffer) {
    if (buffer.size() < kConfigurationDescriptorLength) return std::nullopt;
    if (buffer[0] < kConfigurationDescriptorLength || buffer[1] != kConfigurationDescriptorType) return std::nullopt;
    const std::size_t total = ReadLe16(buffer.data() + 2);
    if (total < kConfigurationDescriptorLength) return std::nullopt;
    return buffer.first(std::min(total, buffer.size()));
}

static InterfaceFields InterfaceAt(const DescriptorRef& d) {
    return InterfaceFields{d.offset, d.bytes[2], d.bytes[3], d.bytes[4], d.bytes[5], d.bytes[6], d.bytes[7]};
}

static bool Matches(int wanted, std::uint8_t actual) { return wanted == -1 || wanted == actual; }

std::optional<InterfaceFields> FindInterface(Bytes configuration, std::size_t start, int number, int alternate,
                                             int interfaceClass, int subClass, int protocol) {
    DescriptorWalker walker(configuration, start);
    while (auto d = walker.Next()) {
        if (d->Type() != kInterfaceDescriptorType) continue;
        if (d->bytes.size() < kInterfaceDescriptorLength) return std::nullopt;
        const InterfaceFields f = InterfaceAt(*d);
        if (Matches(number, f.number) && Matches(alternate, f.alternate) && Matches(interfaceClass, f.interfaceClass) &&
            Matches(subClass, f.subClass) && Matches(protocol, f.protocol))
            return f;
    }
    return std::nullopt;
}

std::optional<std::vector<EndpointFields>> InterfaceEndpoints(Bytes configuration, std::size_t interfaceOffset) {
    DescriptorWalker walker(configuration, interfaceOffset);
    auto self = walker.Next();
    if (!self || self->Type() != kInterfaceDescriptorType || self->bytes.size() < kInterfaceDescriptorLength)
        return std::nullopt;
    const std::uint8_t announced = self->bytes[4];
    std::vector<EndpointFields> endpoints;
    while (auto d = walker.Next()) {
        if (d->Type() == kInterfaceDescriptorType) break;
        if (d->Type() != kEndpointDescriptorType) continue;  // class-specific descriptors between endpoints
        if (d->bytes.size() < kEndpointDescriptorLength) return std::nullopt;
        endpoints.push_back(EndpointFields{d->bytes[2], d->bytes[3], ReadLe16(d->bytes.data() + 4), d->bytes[6]});
    }
    if (walker.Malformed() || endpoints.size() != announced) return std::nullopt;
    return endpoints;
}

std::optional<Defect> ConfigurationDefect(Bytes buffer) {
    using enum DefectKind;
    if (buffer.size() < kConfigurationDescriptorLength) return Defect{ConfigurationLength, 0, "shorter than a configuration descriptor"};
    if (buffer[0] < kConfigurationDescriptorLength) return Defect{DescriptorLength, 0, "configuration descriptor bLength below 9"};
    if (buffer[1] != kConfigurationDescriptorType) return Defect{ConfigurationLength, 0, "not a configuration descriptor"};
    const std::size_t total = ReadLe16(buffer.data() + 2);
    if (total < kConfigurationDescriptorLength) return Defect{ConfigurationLength, 0, "wTotalLength below 9"};
    if (total > buffer.size()) return Defect{ConfigurationLength, 0, "wTotalLength beyond the bytes returned"};
    const Bytes configuration = buffer.first(total);
    std::bitset<256> numbers;
    std::vector<std::size_t> interfaces;
    DescriptorWalker walker(configuration, 0);
    walker.Next();  // the configuration descriptor itself
    std::size_t end = buffer[0];
    while (auto d = walker.Next()) {
        end = d->offset + d->bytes.size();
        if (d->Type() == kInterfaceDescriptorType) {
            if (d->bytes.size() < kInterfaceDescriptorLength)
                return Defect{InterfaceDescriptor, d->offset, "interface descriptor shorter than 9 bytes"};
            numbers.set(d->bytes[2]);
            interfaces.push_back(d->offset);
        } else if (d->Type() == kEndpointDescriptorType && d->bytes.size() < kEndpointDescriptorLength) {
            return Defect{EndpointDescriptor, d->offset, "endpoint descriptor shorter than 7 bytes"};
        }
    }
    if (walker.Malformed()) return Defect{DescriptorLength, end, "descriptor with bLength 0, 1 or past the end"};
    for (std::size_t offset : interfaces)
        if (!InterfaceEndpoints(configuration, offset))
            return Defect{NumberOfEndpoints, offset, "interface endpoints do not match bNumEndpoints"};
    if (numbers.count() != configuration[4])
        return Defect{NumberOfInterfaces, 0, "bNumInterfaces does not match the interfaces present"};
    return std::nullopt;
}

bool DeviceDescriptorSound(Bytes buffer) {
    if (buffer.size() < kDeviceDescriptorLength) return false;
    if (buffer[0] < kDeviceDescriptorLength || buffer[1] != kDeviceDescriptorType) return false;
    const std::uint8_t ep0 = buffer[7];
    return ep0 == 8 || ep0 == 16 || ep0 == 32 || ep0 == 64;
}

}  // namespace tarvel::usb
