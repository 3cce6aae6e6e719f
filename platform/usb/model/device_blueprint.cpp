#include "usb/model/device_blueprint.h"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace tarvel::usb {

static void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

static std::uint8_t StringIndex(const std::string& s, std::uint8_t index) { return s.empty() ? 0 : index; }

std::vector<std::uint8_t> BuildDeviceDescriptor(const DeviceBlueprint& blueprint) {
    std::vector<std::uint8_t> d{18, 1};
    PutLe16(d, blueprint.speed == Speed::High ? 0x0200 : 0x0110);
    d.push_back(blueprint.deviceClass);
    d.push_back(blueprint.deviceSubClass);
    d.push_back(blueprint.deviceProtocol);
    d.push_back(blueprint.maxPacketSize0);
    PutLe16(d, blueprint.vendorId);
    PutLe16(d, blueprint.productId);
    PutLe16(d, blueprint.bcdDevice);
    d.push_back(StringIndex(blueprint.manufacturer, 1));
    d.push_back(StringIndex(blueprint.product, 2));
    d.push_back(StringIndex(blueprint.serialNumber, 3));
    d.push_back(1);  // one configuration
    return d;
}

std::vector<std::uint8_t> BuildConfigurationDescriptor(const DeviceBlueprint& blueprint) {
    std::set<std::uint8_t> numbers;
    for (const auto& i : blueprint.interfaces) numbers.insert(i.number);
    std::vector<std::uint8_t> d{9, 2, 0, 0, static_cast<std::uint8_t>(numbers.size()), blueprint.configurationValue, 0};
    d.push_back(static_cast<std::uint8_t>(0x80 | (blueprint.selfPowered ? 0x40 : 0) | (blueprint.remoteWakeup ? 0x20 : 0)));
    d.push_back(static_cast<std::uint8_t>(blueprint.maxPowerMilliamps / 2));
    for (const auto& i : blueprint.interfaces) {
        d.insert(d.end(), {9, 4, i.number, i.alternate, static_cast<std::uint8_t>(i.endpoints.size()), i.interfaceClass,
                           i.subClass, i.protocol, 0});
        for (const auto& extra : i.extraDescriptors) d.insert(d.end(), extra.begin(), extra.end());
        for (const auto& e : i.endpoints) {
            d.insert(d.end(), {7, 5, e.address, static_cast<std::uint8_t>(e.type)});
            PutLe16(d, e.maxPacketSize);
            d.push_back(e.interval);
        }
    }
    if (d.size() > 0xFFFF) throw std::length_error("configuration descriptor longer than 65535 bytes");
    d[2] = static_cast<std::uint8_t>(d.size());
    d[3] = static_cast<std::uint8_t>(d.size() >> 8);
    return d;
}

std::vector<std::uint8_t> BuildStringDescriptor(const DeviceBlueprint& blueprint, std::uint8_t index) {
    if (index == 0) return {4, 3, 0x09, 0x04};
    const std::string* text = index == 1 ? &blueprint.manufacturer : index == 2 ? &blueprint.product
                            : index == 3 ? &blueprint.serialNumber : nullptr;
    if (!text || text->empty()) return {};
    std::vector<std::uint8_t> d{0, 3};
    for (char c : text->substr(0, 126)) PutLe16(d, static_cast<std::uint8_t>(c));
    d[0] = static_cast<std::uint8_t>(d.size());
    return d;
}

std::vector<std::uint8_t> LyingConfigurationDescriptor(const DeviceBlueprint& blueprint, DescriptorLie lie, unsigned which) {
    std::vector<std::uint8_t> d = BuildConfigurationDescriptor(blueprint);
    auto setTotal = [&](std::size_t total) {
        d[2] = static_cast<std::uint8_t>(total);
        d[3] = static_cast<std::uint8_t>(total >> 8);
    };
    // Offsets of every descriptor after the first, and of the endpoint descriptors among them.
    std::vector<std::size_t> all, endpoints, interfaces;
    for (std::size_t at = 9; at + 1 < d.size() && d[at] >= 2; at += d[at]) {
        all.push_back(at);
        if (d[at + 1] == 5) endpoints.push_back(at);
        if (d[at + 1] == 4) interfaces.push_back(at);
    }
    const std::size_t endpoint = endpoints.empty() ? 0 : endpoints[which % endpoints.size()];
    auto setPacketSize = [&](unsigned size) {
        if (!endpoint) return;
        d[endpoint + 4] = static_cast<std::uint8_t>(size);
        d[endpoint + 5] = static_cast<std::uint8_t>(size >> 8);
    };
    auto packetSize = [&]() -> unsigned { return endpoint ? d[endpoint + 4] | (d[endpoint + 5] & 0x07) << 8 : 0; };
    switch (lie) {
    case DescriptorLie::TotalLengthLong: setTotal(d.size() + 16); break;
    case DescriptorLie::TotalLengthShort: setTotal(d.size() - 3); break;
    case DescriptorLie::ZeroLength:
        if (!all.empty()) d[all[which % all.size()]] = 0;
        break;
    case DescriptorLie::LengthPastEnd:
        if (!all.empty()) d[all.back()] = static_cast<std::uint8_t>(d[all.back()] + 9);
        break;
    case DescriptorLie::EndpointTooShort:
        if (endpoint) {  // the descriptors that follow move up, as the device's table would have them
            d.erase(d.begin() + static_cast<std::ptrdiff_t>(endpoint) + 4, d.begin() + static_cast<std::ptrdiff_t>(endpoint) + 7);
            d[endpoint] = 4;
            setTotal(d.size());
        }
        break;
    case DescriptorLie::MissingEndpoints:
        if (!interfaces.empty()) d[interfaces[which % interfaces.size()] + 4] += 2;
        break;
    case DescriptorLie::PacketSizeZero: setPacketSize(0); break;
    case DescriptorLie::PacketSizeSmaller: setPacketSize(8); break;
    case DescriptorLie::PacketSizeLarger: setPacketSize(std::min(packetSize() * 2, 1024u)); break;
    }
    return d;
}

}  // namespace tarvel::usb
