// Start configures the device: descriptors, interface selection by the registry, the pipe table with
// each pipe's segment size, and a clean failure for configurations the driver cannot use or trust.
#include "pipe_machine.h"
#include "usb/model/device_blueprint.h"
#include "usb/serial/serial_adapter.h"

namespace pipetest {
namespace {

using tarvel::usb::SerialAdapter;

class ConfigTest : public PipeMachine {};

TEST_F(ConfigTest, AdapterTableInReportedOrderWithDefaultSegments) {
    auto& adapter = MakeDevice<SerialAdapter>(tarvel::usb::KernelClock());
    ASSERT_EQ(Install(adapter), STATUS_SUCCESS);
    ASSERT_EQ(PipeCountNow(), 3u);
    PPIPE_ENTRY table = Ext()->ConfigInfo->PipeTable;
    EXPECT_EQ(table[0].PipeInfo->EndpointAddress, 0x01);
    EXPECT_EQ(table[1].PipeInfo->EndpointAddress, 0x81);
    EXPECT_EQ(table[2].PipeInfo->EndpointAddress, 0x82);
    EXPECT_EQ(Ext()->MaximumTransferSize, 4096u);
    EXPECT_EQ(SegmentSize(0), 4096u) << "bulk OUT: the pipe's transfer size";
    EXPECT_EQ(SegmentSize(1), 64u) << "bulk IN: one packet";
    EXPECT_EQ(SegmentSize(2), 16u) << "interrupt IN: one packet";
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(table[i].PipeInfo->PipeFlags, 0u) << "every pipe starts closed";
    EXPECT_EQ(Ext()->OutstandingIo, 1) << "only the device's own reference after start";
    EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY));
    EXPECT_FALSE(Ext()->RemoteWakeupCapable);
}

TEST_F(ConfigTest, SegmentSizeValueIsRoundedToPacketsForBothDirections) {
    auto& adapter = MakeDevice<SerialAdapter>(tarvel::usb::KernelClock());
    ASSERT_EQ(Install(adapter, {Dword("EP1_SegmentSize", 100), Dword("EP2_SegmentSize", 0)}), STATUS_SUCCESS);
    EXPECT_EQ(SegmentSize(0), 128u);
    EXPECT_EQ(SegmentSize(1), 128u);
    EXPECT_EQ(SegmentSize(2), 16u) << "0 means one packet";
}

TEST_F(ConfigTest, HugeSegmentSizeValueIsCappedInsteadOfWrappingToZero) {
    // 64 * ceil(0xFFFFFFF0 / 64) is 2^32: in 32 bits it would be a segment of 0 bytes.
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device, {Dword("EP1_SegmentSize", 0xFFFFFFF0)}), STATUS_SUCCESS);
    EXPECT_EQ(SegmentSize(0), 4096u);
    EXPECT_EQ(SegmentSize(1), 4096u);

    PFILE_OBJECT out = OpenPipe("\\PIPE00");
    Bytes data(5000, 0x42);
    IO_STATUS_BLOCK result = Write(out, data.data(), static_cast<ULONG>(data.size()));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 5000u);
    EXPECT_EQ(BusSpy::TransferLengths(PipeHandle(0)), (std::vector<ULONG>{4096, 904}));
}

TEST_F(ConfigTest, MaximumTransferSizeFromRegistryAndZeroFallsBack) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device, {Dword("MaximumTransferSize", 1000)}), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->MaximumTransferSize, 1000u);
    EXPECT_EQ(Ext()->ConfigInfo->PipeTable[0].PipeInfo->MaximumTransferSize, 1000u);
    EXPECT_EQ(SegmentSize(0), 960u) << "never more than the pipe's transfer size, in whole packets";
    EXPECT_EQ(SegmentSize(1), 64u);
}

TEST_F(ConfigTest, PipeWithPacketsOfNoSizeGetsSegmentsOfTheTransferSize) {
    DeviceBlueprint blueprint = TestDeviceBlueprint();
    blueprint.interfaces[0].endpoints[1].maxPacketSize = 0;  // bulk IN 0x81
    auto& device = MakeTestDevice(blueprint);
    ASSERT_EQ(Install(device, {Dword("EP1_SegmentSize", 100)}), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->ConfigInfo->PipeTable[1].PipeInfo->MaximumPacketSize, 0);
    EXPECT_EQ(SegmentSize(1), 4096u) << "no division by a packet size of 0";
    EXPECT_EQ(SegmentSize(0), 128u);
}

TEST_F(ConfigTest, MaximumTransferSizeZeroIsTakenAsTheDefault) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device, {Dword("MaximumTransferSize", 0)}), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->MaximumTransferSize, 4096u);
    EXPECT_EQ(SegmentSize(0), 4096u);
    EXPECT_EQ(SegmentSize(1), 64u);
}

TEST_F(ConfigTest, ValuesThatAreNotThirtyTwoBitsLeaveTheDefault) {
    auto& device = MakeTestDevice();
    // Two bytes are not a 32-bit number; sixteen do not fit the query buffer.
    ASSERT_EQ(Install(device, {Binary("MaximumTransferSize", {0x00, 0x02}),
                               Binary("EP1_SegmentSize", Bytes(16, 0x01))}),
              STATUS_SUCCESS);
    EXPECT_EQ(Ext()->MaximumTransferSize, 4096u);
    EXPECT_EQ(SegmentSize(0), 4096u);
    EXPECT_EQ(SegmentSize(1), 64u);
}

TEST_F(ConfigTest, RegistryDwordOfAnotherTypeIsTakenByItsFirstFourBytes) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device, {Binary("EP1_SegmentSize", {0xC8, 0x00, 0x00, 0x00})}), STATUS_SUCCESS);
    EXPECT_EQ(SegmentSize(1), 256u) << "200 rounded up to 64-byte packets";
}

DeviceBlueprint TwoInterfaces() {
    DeviceBlueprint blueprint = TestDeviceBlueprint();
    tarvel::usb::InterfaceBlueprint second;
    second.number = 1;
    second.interfaceClass = 0x0A;
    second.endpoints = {{0x04, EndpointType::Bulk, 64, 0}, {0x85, EndpointType::Bulk, 64, 0}};
    blueprint.interfaces.push_back(second);
    return blueprint;
}

// Interfaces named in a select-configuration request, by walking its interface records.
std::vector<UCHAR> SelectedInterfaces(PURB urb) {
    std::vector<UCHAR> numbers;
    auto* at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    const PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    while (at + sizeof(USBD_INTERFACE_INFORMATION) <= end + sizeof(USBD_PIPE_INFORMATION)) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length == 0) break;
        numbers.push_back(info->InterfaceNumber);
        at += info->Length;
    }
    return numbers;
}

TEST_F(ConfigTest, TwoInterfacesAreSelectedButOnlyTheFirstGetsPipes) {
    std::vector<UCHAR> selected;
    BusSpy::OnUrb([&](PURB urb) {
        if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION && urb->UrbSelectConfiguration.ConfigurationDescriptor)
            selected = SelectedInterfaces(urb);
    });
    auto& device = MakeTestDevice(TwoInterfaces());
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    EXPECT_EQ(selected, (std::vector<UCHAR>{0, 1}));
    ASSERT_EQ(PipeCountNow(), 4u);
    EXPECT_EQ(Ext()->ConfigInfo->InterfaceInfo->InterfaceNumber, 0);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(Open("\\EA85", &file), STATUS_INVALID_HANDLE) << "the second interface has no pipe names";
    EXPECT_EQ(Open("\\PIPE04", &file), STATUS_INVALID_HANDLE);
}

TEST_F(ConfigTest, SelectionValuesChooseTheInterface) {
    auto& device = MakeTestDevice(TwoInterfaces());
    ASSERT_EQ(Install(device, {Dword("TargetInterfaceClass", 0x0A)}), STATUS_SUCCESS);
    ASSERT_EQ(PipeCountNow(), 2u);
    EXPECT_EQ(Ext()->ConfigInfo->InterfaceInfo->InterfaceNumber, 1);
    EXPECT_EQ(Ext()->ConfigInfo->PipeTable[1].PipeInfo->EndpointAddress, 0x85);
}

TEST_F(ConfigTest, ClassThatNoInterfaceHasFailsStart) {
    auto& device = MakeTestDevice();
    EXPECT_EQ(Install(device, {Dword("TargetInterfaceClass", 0x03)}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp::State(Node()), pnp::NodeState::FailedStart);
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);
}

std::vector<UrbRecord> ConfigurationRequests() {
    std::vector<UrbRecord> requests;
    for (const auto& r : BusSpy::Urbs())
        if (r.function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && r.descriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            requests.push_back(r);
    return requests;
}

TEST_F(ConfigTest, ConfigurationOfAtMost521BytesIsFetchedOnce) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    const auto requests = ConfigurationRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].transferLength, 521u);
}

TEST_F(ConfigTest, LongerConfigurationIsFetchedAgainInFull) {
    DeviceBlueprint blueprint = TestDeviceBlueprint();
    // Class-specific descriptors make the configuration 9 + 9 + 4 * 7 + 20 * 30 = 646 bytes long.
    blueprint.interfaces[0].extraDescriptors.assign(20, Bytes(30, 0x00));
    for (auto& extra : blueprint.interfaces[0].extraDescriptors) {
        extra[0] = 30;
        extra[1] = 0x24;
    }
    auto& device = MakeTestDevice(blueprint);
    const std::size_t total = tarvel::usb::BuildConfigurationDescriptor(blueprint).size();
    ASSERT_GT(total, 521u);
    ASSERT_EQ(Install(device), STATUS_SUCCESS);
    const auto requests = ConfigurationRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].transferLength, 521u);
    EXPECT_EQ(requests[1].transferLength, total);
    EXPECT_EQ(Ext()->ConfigInfo->ConfigurationDescriptor->wTotalLength, total);
    EXPECT_EQ(PipeCountNow(), 4u);
}

// Each malformed configuration fails the start with a failure status and leaves nothing behind; the
// AddressSanitizer build reports any read past the bytes the device sent.
TEST_F(ConfigTest, MalformedConfigurationsFailStartCleanly) {
    const Bytes good = tarvel::usb::BuildConfigurationDescriptor(TestDeviceBlueprint());
    std::vector<std::pair<const char*, Bytes>> cases;
    Bytes b = good;
    b[18] = 0;
    cases.emplace_back("descriptor of length 0", b);
    b = good;
    b[2] = static_cast<std::uint8_t>(good.size() + 20);
    cases.emplace_back("wTotalLength beyond what the device sends", b);
    b = good;
    b[9 + 4] = 9;
    cases.emplace_back("bNumEndpoints larger than the endpoints present", b);
    b = good;
    b[good.size() - 7] = 40;
    cases.emplace_back("last descriptor runs past the end", b);
    b = good;
    b[0] = 4;
    cases.emplace_back("configuration bLength too small", b);
    b = Bytes(good.begin(), good.begin() + 6);
    cases.emplace_back("only six bytes", b);
    b = good;
    b[4] = 3;
    cases.emplace_back("bNumInterfaces larger than the interfaces present", b);

    std::vector<std::unique_ptr<TestDevice>> devices;
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        devices.push_back(std::make_unique<TestDevice>());
        devices.back()->ServeConfigurationDescriptor(bytes);
        NTSTATUS status = STATUS_SUCCESS;
        tarvel::usb::Port* port = tarvel::usb::Plug(*devices.back(), [] {
            pnp::DeviceDescription d;
            d.functionService = "tarvelpipe";
            d.hardwareIds = {"USB\\VID_1209&PID_7E58"};
            return d;
        }(), &status);
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_EQ(pnp::State(tarvel::usb::Node(port)), pnp::NodeState::FailedStart);
        EXPECT_EQ(BusSpy::Count(URB_FUNCTION_SELECT_CONFIGURATION), 0u) << "nothing selected from it";
        EXPECT_EQ(kernel::PoolOutstanding(PIPE_POOL_TAG), 0u) << kernel::PoolLeakReport();
        tarvel::usb::Unplug(port);
        pnp::WaitForIdle();
        BusSpy::Clear();
    }
}

// Each allocation of the driver during AddDevice and start fails in turn (its pool, the requests it
// builds, registry reads): the install either succeeds or fails with the allocation's status, and a
// failed one leaves no pool of the driver behind.
TEST_F(ConfigTest, AllocationFailuresDuringStartFailItCleanly) {
    struct Site {
        kernel::FaultSite site;
        std::uint32_t tag;
        const char* name;
    };
    const Site sites[] = {{kernel::FaultSite::Pool, PIPE_POOL_TAG, "pool"},
                          {kernel::FaultSite::Irp, 0, "request"},
                          {kernel::FaultSite::Registry, 0, "registry"}};
    std::vector<std::unique_ptr<TestDevice>> devices;
    unsigned failedStarts = 0;
    for (const Site& site : sites) {
        for (unsigned n = 1; n <= 40; ++n) {
            SCOPED_TRACE(std::string(site.name) + " #" + std::to_string(n));
            devices.push_back(std::make_unique<TestDevice>());
            pnp::DeviceDescription d;
            d.functionService = "tarvelpipe";
            d.hardwareIds = {"USB\\VID_1209&PID_7E58"};
            d.hardwareKey = {Dword("EP1_SegmentSize", 128)};
            kernel::ClearFaults();
            kernel::FailNth(site.site, n, site.tag);
            NTSTATUS status = STATUS_SUCCESS;
            tarvel::usb::Port* port = tarvel::usb::Plug(*devices.back(), d, &status);
            const bool injected = kernel::FaultsInjected() > 0;
            kernel::ClearFaults();
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(pnp::State(tarvel::usb::Node(port)), pnp::NodeState::Started);
            } else {
                ++failedStarts;
                EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY) << std::hex << status;
            }
            tarvel::usb::Unplug(port);
            pnp::WaitForIdle();
            EXPECT_EQ(kernel::PoolOutstanding(PIPE_POOL_TAG), 0u) << kernel::PoolLeakReport();
            if (!injected) break;
        }
    }
    EXPECT_GT(failedStarts, 5u);
}

TEST_F(ConfigTest, ConfigurationThatGrowsBetweenTheTwoRequestsFailsStart) {
    DeviceBlueprint blueprint = TestDeviceBlueprint();
    blueprint.interfaces[0].extraDescriptors.assign(20, Bytes{30, 0x24});
    for (auto& extra : blueprint.interfaces[0].extraDescriptors) extra.resize(30, 0);
    auto& device = MakeTestDevice(blueprint);
    Bytes longer = tarvel::usb::BuildConfigurationDescriptor(blueprint);
    // The second answer claims more than the buffer sized by the first one holds.
    unsigned requests = 0;
    BusSpy::OnUrb([&](PURB urb) {
        if (urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && ++requests == 2) {
            Bytes grown = longer;
            grown.insert(grown.end(), {30, 0x24});
            grown.resize(grown.size() + 28, 0);
            grown[2] = static_cast<std::uint8_t>(grown.size() & 0xFF);
            grown[3] = static_cast<std::uint8_t>(grown.size() >> 8);
            device.ServeConfigurationDescriptor(grown);
        }
    });
    EXPECT_EQ(Install(device), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(requests, 2u) << "no third request";
}

}  // namespace
}  // namespace pipetest
