// The check that the pipe driver runs on a configuration descriptor before anything walks it. The
// descriptor comes from the device: every lie about a length or a count must be refused, and the
// check itself must never read past the bytes the device returned (each case is copied into a heap
// block of exactly its size, so AddressSanitizer reports any over-read).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "tarvel/kernel.h"
#include "tarvelpipe.h"
#include "usb/model/device_blueprint.h"
#include "usb/serial/serial_adapter.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace tarvel::usb;

NTSTATUS Check(const Bytes& bytes, std::size_t returned) {
    // Exactly `returned` bytes are there; the descriptor header is read from them.
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[returned ? returned : 1]);
    std::memcpy(block.get(), bytes.data(), returned);
    return CheckConfigurationDescriptor(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.get()),
                                        static_cast<ULONG>(returned));
}
NTSTATUS Check(const Bytes& bytes) { return Check(bytes, bytes.size()); }

void SetTotalLength(Bytes& bytes, std::size_t total) {
    bytes[2] = static_cast<std::uint8_t>(total & 0xFF);
    bytes[3] = static_cast<std::uint8_t>(total >> 8);
}

Bytes Adapter() { return BuildConfigurationDescriptor(SerialAdapter::MakeBlueprint({})); }

// Offsets inside the adapter's descriptor: configuration (9), interface (9), three endpoints (7 each).
constexpr std::size_t kInterface = 9, kFirstEndpoint = 18, kLastEndpoint = 32;

TEST(ConfigurationDescriptorCheck, AcceptsWellFormedDescriptors) {
    EXPECT_EQ(Check(Adapter()), STATUS_SUCCESS);

    // Two interfaces, one with two alternate settings and a class-specific descriptor: two numbers.
    DeviceBlueprint blueprint;
    InterfaceBlueprint first;
    first.endpoints = {{0x01, EndpointType::Bulk, 64, 0}};
    first.extraDescriptors = {{5, 0x24, 0, 0x10, 0x01}};
    InterfaceBlueprint alternate = first;
    alternate.alternate = 1;
    InterfaceBlueprint second;
    second.number = 1;
    second.endpoints = {{0x82, EndpointType::Interrupt, 8, 10}, {0x03, EndpointType::Bulk, 64, 0}};
    blueprint.interfaces = {first, alternate, second};
    EXPECT_EQ(Check(BuildConfigurationDescriptor(blueprint)), STATUS_SUCCESS);

    // More bytes returned than wTotalLength counts: only wTotalLength is walked.
    Bytes longer = Adapter();
    longer.resize(longer.size() + 40, 0xEE);
    EXPECT_EQ(Check(longer), STATUS_SUCCESS);
}

TEST(ConfigurationDescriptorCheck, RefusesLyingLengths) {
    const Bytes good = Adapter();

    EXPECT_EQ(Check(good, 0), STATUS_DEVICE_DATA_ERROR) << "nothing returned";
    EXPECT_EQ(Check(good, 8), STATUS_DEVICE_DATA_ERROR) << "shorter than the configuration descriptor";
    EXPECT_EQ(Check(good, good.size() - 1), STATUS_DEVICE_DATA_ERROR) << "wTotalLength beyond the bytes returned";

    Bytes b = good;
    b[0] = 8;
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "configuration bLength too small";

    b = good;
    b[1] = 4;
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "not a configuration descriptor";

    b = good;
    SetTotalLength(b, 5);
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "wTotalLength below bLength";

    b = good;
    b[kFirstEndpoint] = 0;
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "a descriptor of length 0 would never end a walk";

    b = good;
    b[kFirstEndpoint] = 1;
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "a descriptor too short for its own header";

    b = good;
    b[kLastEndpoint] = 200;
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "the last descriptor runs past wTotalLength";

    b = good;
    b[kInterface] = 8;
    b.erase(b.begin() + kInterface + 8);
    SetTotalLength(b, b.size());
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "interface descriptor cut short";

    b = good;
    b[kFirstEndpoint] = 6;
    b.erase(b.begin() + kFirstEndpoint + 6);
    SetTotalLength(b, b.size());
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR) << "endpoint descriptor cut short";

    // wTotalLength cuts the last endpoint descriptor in half.
    b = good;
    SetTotalLength(b, good.size() - 3);
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR);
}

TEST(ConfigurationDescriptorCheck, RefusesLyingCounts) {
    const Bytes good = Adapter();

    Bytes b = good;
    b[kInterface + 4] = 4;  // bNumEndpoints: one more than follow
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR);

    b = good;
    b[kInterface + 4] = 2;  // one fewer than follow
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR);

    b = good;
    b[4] = 2;  // bNumInterfaces: more interface numbers than present
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR);

    b = good;
    b[4] = 0;  // none, while one is present
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR);

    // An endpoint descriptor before any interface descriptor belongs to nothing.
    b = good;
    Bytes endpoint(b.begin() + kFirstEndpoint, b.begin() + kFirstEndpoint + 7);
    b.insert(b.begin() + kInterface, endpoint.begin(), endpoint.end());
    SetTotalLength(b, b.size());
    EXPECT_EQ(Check(b), STATUS_DEVICE_DATA_ERROR);

    // A configuration that names no interface and has none is well formed (start refuses it later).
    Bytes empty{9, 2, 9, 0, 0, 1, 0, 0x80, 50};
    EXPECT_EQ(Check(empty), STATUS_SUCCESS);
}

}  // namespace
