// Descriptor parsing of untrusted device data. Every buffer is a heap block of exactly the bytes under
// test, so that a read past its end shows up under AddressSanitizer.
#include <gtest/gtest.h>

#include <memory>

#include "usb/descriptors/descriptor_parse.h"
#include "usb/model/device_blueprint.h"

namespace tarvel::usb::test {
namespace {

DeviceBlueprint TwoInterfaces() {
    DeviceBlueprint blueprint;
    InterfaceBlueprint a;
    a.number = 0, a.interfaceClass = 0x02, a.subClass = 0x02;
    a.extraDescriptors = {{5, 0x24, 0x00, 0x10, 0x01}};
    a.endpoints = {{0x83, EndpointType::Interrupt, 16, 8}};
    InterfaceBlueprint b;
    b.number = 1, b.interfaceClass = 0x0A;
    b.endpoints = {{0x01, EndpointType::Bulk, 64, 0}, {0x81, EndpointType::Bulk, 64, 0}};
    InterfaceBlueprint bAlt = b;
    bAlt.alternate = 1;
    bAlt.endpoints.push_back({0x02, EndpointType::Bulk, 64, 0});
    blueprint.interfaces = {a, b, bAlt};
    return blueprint;
}

// The bytes in a block of exactly their size.
struct Exact {
    explicit Exact(const std::vector<std::uint8_t>& bytes) : size(bytes.size()), data(new std::uint8_t[bytes.size()]) {
        std::copy(bytes.begin(), bytes.end(), data.get());
    }
    Bytes span() const { return Bytes(data.get(), size); }
    std::size_t size;
    std::unique_ptr<std::uint8_t[]> data;
};

TEST(DescriptorParse, FindsInterfacesByAnyCombinationOfFields) {
    const auto bytes = BuildConfigurationDescriptor(TwoInterfaces());
    Exact config(bytes);
    EXPECT_FALSE(ConfigurationDefect(config.span()));
    auto first = FindInterface(config.span(), 0, -1, -1, -1, -1, -1);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->number, 0);
    auto data = FindInterface(config.span(), 0, -1, -1, 0x0A, -1, -1);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->number, 1);
    EXPECT_EQ(data->alternate, 0);
    auto alt = FindInterface(config.span(), 0, 1, 1, -1, -1, -1);
    ASSERT_TRUE(alt);
    EXPECT_EQ(InterfaceEndpoints(config.span(), alt->offset)->size(), 3u);
    auto next = FindInterface(config.span(), data->offset + 9, 1, -1, -1, -1, -1);  // search goes on after it
    ASSERT_TRUE(next);
    EXPECT_EQ(next->alternate, 1);
    EXPECT_FALSE(FindInterface(config.span(), 0, 2, -1, -1, -1, -1));
    EXPECT_FALSE(FindInterface(config.span(), 0, -1, -1, 0x03, -1, -1));
    const auto comm = InterfaceEndpoints(config.span(), first->offset);  // class descriptor skipped
    ASSERT_TRUE(comm);
    ASSERT_EQ(comm->size(), 1u);
    EXPECT_EQ((*comm)[0].address, 0x83);
    EXPECT_EQ((*comm)[0].maxPacketSize, 16);
}

TEST(DescriptorParse, MalformedConfigurationsAreRefusedWithoutReadingPastTheirBytes) {
    const auto good = BuildConfigurationDescriptor(TwoInterfaces());
    struct Case { const char* what; std::vector<std::uint8_t> bytes; bool interfaceFindable; };
    std::vector<Case> cases;
    auto mutate = [&](const char* what, auto change, bool findable) {
        auto b = good;
        change(b);
        cases.push_back({what, b, findable});
    };
    mutate("bLength 0 in the middle", [](auto& b) { b[9 + 9] = 0; }, true);
    mutate("bLength past the end", [](auto& b) { b[b.size() - 7] = 200; }, true);
    mutate("wTotalLength below 9", [](auto& b) { b[2] = 8, b[3] = 0; }, false);
    mutate("wTotalLength beyond the bytes", [](auto& b) { b[2] = 0xFF, b[3] = 0x7F; }, true);
    mutate("wTotalLength cuts a descriptor", [](auto& b) { b[2] = 12, b[3] = 0; }, false);
    mutate("bNumEndpoints larger than present", [](auto& b) { b[9 + 4] = 7; }, true);
    mutate("bNumInterfaces lies", [](auto& b) { b[4] = 9; }, true);
    mutate("interface descriptor of 5 bytes", [](auto& b) { b[9] = 5; }, false);
    mutate("endpoint descriptor of 4 bytes", [](auto& b) { b[9 + 9 + 5] = 4; }, true);
    cases.push_back({"a lone byte", {9}, false});
    cases.push_back({"header only, bLength 1", {1, 2, 9, 0, 1, 1, 0, 0x80, 50}, false});
    for (const Case& c : cases) {
        Exact config(c.bytes);
        EXPECT_TRUE(ConfigurationDefect(config.span())) << c.what;
        if (auto extent = ConfigurationExtent(config.span())) {
            EXPECT_LE(extent->size(), c.bytes.size()) << c.what;
            // Every search ends, in bounds, found or not.
            for (int number = -1; number < 3; ++number)
                if (auto i = FindInterface(*extent, 0, number, -1, -1, -1, -1)) (void)InterfaceEndpoints(*extent, i->offset);
            EXPECT_EQ(FindInterface(*extent, 0, -1, -1, -1, -1, -1).has_value(), c.interfaceFindable) << c.what;
        } else {
            EXPECT_FALSE(c.interfaceFindable) << c.what;
        }
    }
}

TEST(DescriptorParse, DeviceDescriptorNeedsItsLengthTypeAndAValidControlPacketSize) {
    DeviceBlueprint blueprint;
    auto d = BuildDeviceDescriptor(blueprint);
    EXPECT_TRUE(DeviceDescriptorSound(Exact(d).span()));
    auto shortened = d;
    shortened.pop_back();
    EXPECT_FALSE(DeviceDescriptorSound(Exact(shortened).span()));
    d[7] = 63;
    EXPECT_FALSE(DeviceDescriptorSound(Exact(d).span()));
}

}  // namespace
}  // namespace tarvel::usb::test
