// Installations that fail on the way and drivers that leave their devices behind.
#include "pnp_fixture.h"

namespace tarvel::testing {
namespace {

using PnpFailures = PlatformTest;

TEST_F(PnpFailures, AFailedStartTakesTheStackDownAndUnloadsTheDrivers) {
    pnp::DeviceNode* node = Install(Description({DwordValue("FuncFailPnp", IRP_MN_START_DEVICE + 1)}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(recording_.Take(":PnP"),
              (std::vector<std::string>{"filter:PnP:0x09", "func:PnP:0x09", "bus:PnP:0x09", "filter:PnP:0x00",
                                        "func:PnP:0x00", "filter:PnP:0x02", "func:PnP:0x02", "bus:PnP:0x02"}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::FailedStart);
    EXPECT_EQ(pnp::PhysicalDevice(node)->AttachedDevice, nullptr);
    EXPECT_EQ(kernel::FindDriver("pnprecfunc"), nullptr);
    EXPECT_EQ(kernel::FindDriver("pnprecfilter"), nullptr);
}

TEST_F(PnpFailures, AFailedAddDeviceRemovesWhatTheDriversBeforeItAttached) {
    pnp::DeviceNode* node = Install(Description({DwordValue("FailAddDevice", 1)}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(recording_.Take(), (std::vector<std::string>{"func:AddDevice", "filter:AddDevice", "func:PnP:0x02",
                                                            "bus:PnP:0x02", "func:Unload", "filter:Unload"}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::FailedStart);
    EXPECT_EQ(pnp::TopOfStack(node), nullptr);
}

TEST_F(PnpFailures, ADriverThatCannotBeLoadedFailsTheInstallation) {
    pnp::DeviceDescription description = Description();
    description.upperFilters = {"pnprecfilter", "no_such_driver"};
    pnp::DeviceNode* node = Install(description, static_cast<NTSTATUS>(0xC000026CL));
    EXPECT_TRUE(recording_.Events().empty()); // nobody was asked to add a device
    EXPECT_EQ(pnp::State(node), pnp::NodeState::FailedStart);
    EXPECT_EQ(kernel::FindDriver("pnprecfunc"), nullptr); // what had been loaded is unloaded again
    EXPECT_EQ(pnp::Enable(node), static_cast<NTSTATUS>(0xC000026CL)); // trying again changes nothing
    EXPECT_EQ(kernel::FindDriver("pnprecfilter"), nullptr);
}

TEST_F(PnpFailures, TheCapabilitiesQueryIsSentAsThePlatformSendsIt) {
    // The bus driver refuses a query whose Size, Version, Address or UINumber is not the platform's.
    pnp::DeviceNode* node = Install(Description());
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps) - 1;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    EXPECT_EQ(pnp::SendRequest(node, IRP_MN_QUERY_CAPABILITIES,
                               [&](PIO_STACK_LOCATION location) { location->Parameters.DeviceCapabilities.Capabilities = &caps; }),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
}

TEST_F(PnpFailures, ADeviceLeftBehindAtRemovalStopsTheRun) {
    EXPECT_DEATH(
        {
            pnp::DeviceNode* node = Install(Description({DwordValue("KeepDevice", 1)}, false));
            pnp::QueryRemoveAndRemove(node);
        },
        "VERIFIER STOP: device not deleted at removal in IRP_MN_REMOVE_DEVICE");
}

// The queries after start go through the whole stack: a function driver that claims an identifier
// query it does not answer (success, no string) would have the platform read a null record.
TEST_F(PnpFailures, AnIdentifierQueryAnsweredWithoutItsStringStopsTheRun) {
    EXPECT_DEATH(Install(Description({DwordValue("FuncEmptyPnp", IRP_MN_QUERY_ID + 1)})),
                 "VERIFIER STOP: PnP query answered without its record in IRP_MN_QUERY_ID.*status 0x00000000 "
                 "with Information 0");
    EXPECT_DEATH(Install(Description({DwordValue("FuncEmptyPnp", IRP_MN_QUERY_DEVICE_TEXT + 1)})),
                 "VERIFIER STOP: PnP query answered without its record in IRP_MN_QUERY_DEVICE_TEXT");
}

// Requests of unknown minor functions go through a stack that passes them down and come back as they
// were sent; a driver that completes one with a status of its own stops the run. A stack that is not
// started gets none.
TEST_F(PnpFailures, AnUnknownRequestMustPassDownUntouched) {
    pnp::DeviceNode* node = Install(Description());
    recording_.Clear();
    for (UCHAR major : {UCHAR(IRP_MJ_PNP), UCHAR(IRP_MJ_POWER), UCHAR(IRP_MJ_SYSTEM_CONTROL)})
        EXPECT_TRUE(pnp::SendUnknownRequest(node, major, 0xFE));
    EXPECT_EQ(recording_.Take(":PnP"), (std::vector<std::string>{"filter:PnP:0xfe", "func:PnP:0xfe", "bus:PnP:0xfe"}));
    ASSERT_EQ(pnp::Disable(node), STATUS_SUCCESS);
    EXPECT_FALSE(pnp::SendUnknownRequest(node, IRP_MJ_PNP, 0xFE));

    EXPECT_DEATH(
        {
            pnp::DeviceNode* failing = Install(Description({DwordValue("FuncFailPnp", 0xFE + 1)}));
            pnp::SendUnknownRequest(failing, IRP_MJ_PNP, 0xFE);
        },
        "VERIFIER STOP: unknown request not passed down untouched in IRP_MJ_PNP .*minor function 254 came back "
        "with status 0xC0000001");
}

TEST_F(PnpFailures, ADeviceLeftInitializingByAddDeviceStopsTheRun) {
    EXPECT_DEATH(pnp::InstallDevice(bus_->CreatePhysicalDevice(), Description({DwordValue("StayInitializing", 1)})),
                 "VERIFIER STOP: device still initializing after AddDevice in AddDevice");
}

} // namespace
} // namespace tarvel::testing

namespace tarvel::testing {
namespace {

// Every allocation of an installation and removal failed in turn: the installation either succeeds
// or fails cleanly, and either way the stack, its drivers and their pool are gone afterwards.
TEST(PnpFaults, EachAllocationOfAnInstallationFailedInTurnLeavesNothingBehind) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [](kernel::FaultSite site, unsigned n) {
        kernel::Boot();
        Recording recording;
        std::uint64_t calls = 0;
        {
            TestBus bus(recording);
            pnp::DeviceDescription description;
            description.functionService = "pnprecfunc";
            description.upperFilters = {"pnprecfilter"};
            description.hardwareKey = {SinkValue(recording), DwordValue("Index", 1), DwordValue("WaitWake", 1)};
            PDEVICE_OBJECT physical = bus.CreatePhysicalDevice();
            if (n > 0) kernel::FailNth(site, n);
            pnp::DeviceNode* node = nullptr;
            const NTSTATUS status = pnp::InstallDevice(physical, description, &node);
            if (NT_SUCCESS(status)) {
                bus.CompleteWaitWake(physical, STATUS_CANCELLED);
                EXPECT_EQ(pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS) << "fault " << n;
            }
            calls = kernel::FaultSiteCalls(site);
            kernel::ClearFaults();
            EXPECT_EQ(pnp::TopOfStack(node), nullptr) << "fault " << n;
            EXPECT_EQ(physical->AttachedDevice, nullptr) << "fault " << n;
            EXPECT_EQ(kernel::FindDriver("pnprecfunc"), nullptr) << "fault " << n;
            EXPECT_EQ(kernel::FindDriver("pnprecfilter"), nullptr) << "fault " << n;
            bus.DeleteAll();
            EXPECT_EQ(kernel::PoolOutstandingTotal(), 0u) << "fault " << n << "\n" << kernel::PoolLeakReport();
        }
        kernel::Shutdown();
        return calls;
    };
    for (kernel::FaultSite site : {kernel::FaultSite::Pool, kernel::FaultSite::Irp, kernel::FaultSite::PowerIrp,
                                   kernel::FaultSite::Registry}) {
        const std::uint64_t sites = run(site, 0);
        for (unsigned n = 1; n <= sites; ++n) run(site, n);
    }
}

} // namespace
} // namespace tarvel::testing
