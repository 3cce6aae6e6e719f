// The USBD routines as the pipe driver uses them, and on descriptors that lie. Each configuration
// sits in a pool block of exactly wTotalLength bytes, the extent the routines are allowed to read.
#include <gtest/gtest.h>
#include <ntddk.h>
#include <usbdlib.h>

#include <cstring>

#include "tarvel/kernel.h"
#include "usb/model/device_blueprint.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

struct UsbdTest : ::testing::Test {
    void SetUp() override { kernel::Boot(); }
    void TearDown() override {
        for (void* p : blocks) ExFreePool(p);
        kernel::Shutdown();
    }
    PUSB_CONFIGURATION_DESCRIPTOR Place(const std::vector<std::uint8_t>& bytes) {
        void* p = ExAllocatePoolWithTag(NonPagedPool, bytes.size(), 'tseT');
        std::memcpy(p, bytes.data(), bytes.size());
        blocks.push_back(p);
        return static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(p);
    }
    std::vector<void*> blocks;
};

DeviceBlueprint TwoInterfacesLong() {
    DeviceBlueprint blueprint;
    InterfaceBlueprint control;
    control.number = 0, control.interfaceClass = 0x02;
    for (int i = 0; i < 60; ++i) control.extraDescriptors.push_back({9, 0x24, 1, 2, 3, 4, 5, 6, 7});  // 540 bytes
    control.endpoints = {{0x83, EndpointType::Interrupt, 16, 8}};
    InterfaceBlueprint data;
    data.number = 1, data.interfaceClass = 0x0A;
    data.endpoints = {{0x02, EndpointType::Bulk, 64, 0}, {0x82, EndpointType::Bulk, 64, 0}};
    blueprint.interfaces = {control, data};
    return blueprint;
}

TEST_F(UsbdTest, SelectionRequestForTheAdapterAndForATwoInterfaceConfigurationPastFiveHundredBytes) {
    auto adapter = Place(BuildConfigurationDescriptor(SerialAdapter::MakeBlueprint({})));
    auto found = USBD_ParseConfigurationDescriptorEx(adapter, adapter, -1, -1, -1, -1, -1);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->bNumEndpoints, 3);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(adapter, adapter, 1, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(adapter, adapter, -1, -1, 0x08, -1, -1), nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{found, nullptr}, {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(adapter, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(_URB_SELECT_CONFIGURATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, adapter);
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ(list[0].Interface->Length, 24 + 3 * 24);
    EXPECT_EQ(list[0].Interface->Pipes[2].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ExFreePool(urb);

    const auto longBytes = BuildConfigurationDescriptor(TwoInterfacesLong());
    ASSERT_GT(longBytes.size(), 521u);
    auto config = Place(longBytes);
    EXPECT_EQ(USBD_ValidateConfigurationDescriptor(config, static_cast<ULONG>(longBytes.size()), 0, nullptr, 0),
              USBD_STATUS_SUCCESS);
    USBD_INTERFACE_LIST_ENTRY two[3] = {};
    int n = 0;
    for (LONG i = 0; i < 256 && n < config->bNumInterfaces; ++i)
        if (auto d = USBD_ParseConfigurationDescriptorEx(config, config, i, -1, -1, -1, -1)) two[n++].InterfaceDescriptor = d;
    ASSERT_EQ(n, 2);
    EXPECT_GT(reinterpret_cast<PUCHAR>(two[1].InterfaceDescriptor) - reinterpret_cast<PUCHAR>(config), 521);
    urb = USBD_CreateConfigurationRequestEx(config, two);
    ASSERT_NE(urb, nullptr);
    ASSERT_NE(two[1].Interface, nullptr);
    EXPECT_EQ(two[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(two[1].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(two[1].Interface) - reinterpret_cast<PUCHAR>(two[0].Interface), 48);
    EXPECT_EQ(USBD_GetInterfaceLength(two[0].InterfaceDescriptor, reinterpret_cast<PUCHAR>(config) + longBytes.size()),
              9u + 540u + 7u);
    ExFreePool(urb);
}

TEST_F(UsbdTest, LyingDescriptorsGiveNotFoundOrNoRequestAndNeverAnOverRead) {
    const auto good = BuildConfigurationDescriptor(SerialAdapter::MakeBlueprint({}));
    struct Case { const char* what; std::size_t at; std::uint8_t value; bool found; USBD_STATUS validation; };
    const Case cases[] = {
        {"configuration bLength 0", 0, 0, false, USBD_STATUS_BAD_DESCRIPTOR_BLEN},
        {"wTotalLength 8", 2, 8, false, USBD_STATUS_BAD_CONFIG_DESC_LENGTH},
        {"interface bLength 0", 9, 0, false, USBD_STATUS_BAD_DESCRIPTOR_BLEN},
        {"interface bLength past the end", 9, 250, false, USBD_STATUS_BAD_DESCRIPTOR_BLEN},
        {"interface bLength 4", 9, 4, false, USBD_STATUS_BAD_INTERFACE_DESCRIPTOR},
        {"bNumEndpoints 30", 13, 30, true, USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS},
        {"last endpoint bLength 9", good.size() - 7, 9, true, USBD_STATUS_BAD_DESCRIPTOR_BLEN},
        {"bNumInterfaces 4", 4, 4, true, USBD_STATUS_BAD_NUMBER_OF_INTERFACES},
    };
    for (const Case& c : cases) {
        auto bytes = good;
        bytes[c.at] = c.value;
        // The block holds wTotalLength bytes (all of them, or fewer when wTotalLength was cut).
        const std::size_t total = std::min<std::size_t>(bytes.size(), bytes[2] | (bytes[3] << 8));
        auto config = Place(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(std::max<std::size_t>(total, 9))));
        auto found = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
        EXPECT_EQ(found != nullptr, c.found) << c.what;
        EXPECT_EQ(USBD_ParseDescriptors(config, static_cast<ULONG>(total), config, USB_ENDPOINT_DESCRIPTOR_TYPE) != nullptr,
                  c.found) << c.what;
        EXPECT_EQ(USBD_ValidateConfigurationDescriptor(config, static_cast<ULONG>(std::max<std::size_t>(total, 9)), 0, nullptr, 0),
                  c.validation) << c.what;
        if (found) {
            USBD_INTERFACE_LIST_ENTRY list[2] = {{found, nullptr}, {nullptr, nullptr}};
            PURB urb = USBD_CreateConfigurationRequestEx(config, list);
            ASSERT_NE(urb, nullptr) << c.what;
            EXPECT_EQ(list[0].Interface->NumberOfPipes, found->bNumEndpoints) << c.what;  // sized as announced
            ExFreePool(urb);
        }
    }
    // An interface pointer from elsewhere, a start position outside the descriptor, no list at all.
    auto config = Place(good);
    USB_INTERFACE_DESCRIPTOR stray{};
    stray.bLength = 9, stray.bDescriptorType = 4, stray.bNumEndpoints = 2;
    USBD_INTERFACE_LIST_ENTRY list[2] = {{&stray, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, nullptr), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<PUCHAR>(config) + good.size() + 1, -1, -1, -1, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1), nullptr);
}

}  // namespace
}  // namespace tarvel::usb::test
