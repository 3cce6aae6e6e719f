// The PnP manager's sequences against the recording drivers: who is called, in which order, and what
// is left when a stack goes.
#include <algorithm>

#include "pnp_fixture.h"
#include "tarvel/user.h"

namespace tarvel::testing {
namespace {

using PnpSequences = PlatformTest;

// Every request of one minor function, as each layer saw it, top first.
std::vector<std::string> ThroughStack(const char* minor) {
    return {std::string("filter:PnP:") + minor, std::string("func:PnP:") + minor, std::string("bus:PnP:") + minor};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What follows every successful start, as the platform asks it: the capabilities again, the PnP
// state, the children, the four identifiers, two texts and the resource requirements.
std::vector<std::string> Started() {
    return Concat({ThroughStack("0x00"), ThroughStack("0x09"), ThroughStack("0x14"), ThroughStack("0x07"),
                   ThroughStack("0x13"), ThroughStack("0x13"), ThroughStack("0x13"), ThroughStack("0x13"),
                   ThroughStack("0x0c"), ThroughStack("0x0c"), ThroughStack("0x0b")});
}

// An orderly removal first asks which devices go with the stack.
std::vector<std::string> QueriedRemove() { return Concat({ThroughStack("0x07"), ThroughStack("0x01")}); }

TEST_F(PnpSequences, InstallAddsFunctionThenFilterQueriesCapabilitiesAndStartsFromTheTop) {
    pnp::DeviceNode* node = Install(Description({DwordValue("Index", 4)}));
    EXPECT_EQ(recording_.Take(), Concat({{"func:AddDevice", "filter:AddDevice"}, ThroughStack("0x09"), Started()}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);

    // The stack: filter on top of the function device on top of the physical device.
    PDEVICE_OBJECT top = pnp::TopOfStack(node);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->DriverObject, kernel::FindDriver("pnprecfilter"));
    EXPECT_EQ(pnp::PhysicalDevice(node)->AttachedDevice->AttachedDevice, top);
    EXPECT_EQ(io::DeviceName(pnp::PhysicalDevice(node)->AttachedDevice), "\\Device\\PnpRecorder4");
    // What the bus driver answered reached the manager through the whole stack.
    const DEVICE_CAPABILITIES& caps = pnp::Capabilities(node);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    // The hardware key holds the description's values.
    const auto index = io::QueryRegistryValue(io::HardwareKeyPath(pnp::PhysicalDevice(node)), "Index");
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(index->AsDword(), 4u);
}

TEST_F(PnpSequences, DriversAreLoadedOnceAndUnloadedWithTheirLastDevice) {
    pnp::DeviceNode* first = Install(Description({DwordValue("Index", 0)}));
    PDRIVER_OBJECT func = kernel::FindDriver("pnprecfunc");
    pnp::DeviceNode* second = Install(Description({DwordValue("Index", 1)}));
    EXPECT_EQ(kernel::FindDriver("pnprecfunc"), func);
    EXPECT_EQ(recording_.Take(":AddDevice").size(), 4u);

    EXPECT_EQ(pnp::QueryRemoveAndRemove(first), STATUS_SUCCESS);
    EXPECT_EQ(kernel::FindDriver("pnprecfunc"), func);
    EXPECT_TRUE(recording_.Take("func:Unload").empty());

    EXPECT_EQ(pnp::QueryRemoveAndRemove(second), STATUS_SUCCESS);
    EXPECT_EQ(kernel::FindDriver("pnprecfunc"), nullptr);
    EXPECT_EQ(kernel::FindDriver("pnprecfilter"), nullptr);
    EXPECT_EQ(recording_.Take(":Unload").size(), 2u);
}

TEST_F(PnpSequences, RebalanceAndCancelledStopKeepTheStackStarted) {
    pnp::DeviceNode* node = Install(Description());
    recording_.Clear();
    EXPECT_EQ(pnp::Rebalance(node), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({ThroughStack("0x05"), ThroughStack("0x04"), Started()}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);

    EXPECT_EQ(pnp::QueryStopAndCancel(node), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({ThroughStack("0x05"), ThroughStack("0x06")}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
}

TEST_F(PnpSequences, AFailedQueryIsFollowedByItsCancel) {
    // The function driver refuses to stop and to be removed; its filter has already agreed.
    pnp::DeviceNode* node = Install(Description({DwordValue("FuncFailPnp", IRP_MN_QUERY_STOP_DEVICE + 1)}));
    recording_.Clear();
    EXPECT_EQ(pnp::Rebalance(node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({{"filter:PnP:0x05", "func:PnP:0x05"}, ThroughStack("0x06")}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_EQ(pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS); // only stop was refused
}

TEST_F(PnpSequences, AFailedQueryRemoveIsCancelledAndTheStackStays) {
    pnp::DeviceNode* node = Install(Description({DwordValue("FuncFailPnp", IRP_MN_QUERY_REMOVE_DEVICE + 1)}));
    recording_.Clear();
    EXPECT_EQ(pnp::QueryRemoveAndRemove(node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({ThroughStack("0x07"), {"filter:PnP:0x01", "func:PnP:0x01"}, ThroughStack("0x03")}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_NE(kernel::FindDriver("pnprecfunc"), nullptr);
    // The PnP manager cannot tell which driver refused: the device is the veto.
    EXPECT_EQ(pnp::LastVeto(node).type, pnp::PNP_VetoDevice);
    EXPECT_EQ(pnp::LastVeto(node).name, io::InstancePath(pnp::PhysicalDevice(node)));
    // Disable asks the same question and gets the same answer.
    EXPECT_EQ(pnp::Disable(node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
}

TEST_F(PnpSequences, RemovalDeletesTheStackKeepsThePresentDeviceAndEnableBuildsItAgain) {
    pnp::DeviceNode* node = Install(Description());
    PDEVICE_OBJECT physical = pnp::PhysicalDevice(node);
    recording_.Clear();
    EXPECT_EQ(pnp::QueryRemoveAndCancel(node), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({QueriedRemove(), ThroughStack("0x03")}));

    EXPECT_EQ(pnp::Disable(node), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({QueriedRemove(), ThroughStack("0x02")}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Disabled);
    EXPECT_EQ(pnp::TopOfStack(node), nullptr);
    EXPECT_EQ(physical->AttachedDevice, nullptr);
    EXPECT_EQ(bus_->LiveDevices(), std::vector<PDEVICE_OBJECT>{physical}); // still plugged in
    EXPECT_EQ(kernel::FindDriver("pnprecfunc"), nullptr);

    EXPECT_EQ(pnp::Enable(node), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(), Concat({{"func:AddDevice", "filter:AddDevice"}, ThroughStack("0x09"), Started()}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    EXPECT_EQ(pnp::Enable(node), STATUS_INVALID_DEVICE_STATE); // already enabled
}

TEST_F(PnpSequences, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval) {
    pnp::DeviceNode* node = Install(Description({DwordValue("Index", 2)}));
    HANDLE first = user::CreateFileA("\\\\.\\PNPREC2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE second = user::CreateFileA("\\\\.\\PNPREC2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(pnp::OpenHandles(node), 2u);
    recording_.Clear();

    pnp::SurpriseRemove(node);
    EXPECT_EQ(recording_.Take(":PnP"), ThroughStack("0x17"));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::SurpriseRemoved);
    // A device that is going cannot be opened again.
    EXPECT_EQ(user::CreateFileA("\\\\.\\PNPREC2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(user::GetLastError(), ERROR_ACCESS_DENIED);

    EXPECT_TRUE(user::CloseHandle(first));
    pnp::WaitForIdle();
    EXPECT_EQ(recording_.Take("func:"), (std::vector<std::string>{"func:Cleanup", "func:Close"}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::SurpriseRemoved);

    EXPECT_TRUE(user::CloseHandle(second));
    pnp::WaitForIdle();
    EXPECT_EQ(recording_.Take(), Concat({{"filter:PassThrough:0x12", "func:Cleanup", "filter:PassThrough:0x02", "func:Close"},
                                         ThroughStack("0x02"),
                                         {"func:Unload", "filter:Unload"}}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Deleted);
    EXPECT_TRUE(bus_->LiveDevices().empty()); // the bus driver let its device go with the removal
}

TEST_F(PnpSequences, SurpriseRemovalWithNoHandleRemovesAtOnce) {
    pnp::DeviceNode* node = Install(Description());
    recording_.Clear();
    pnp::SurpriseRemove(node);
    EXPECT_EQ(recording_.Take(":PnP"), Concat({ThroughStack("0x17"), ThroughStack("0x02")}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Deleted);
    EXPECT_TRUE(bus_->LiveDevices().empty());
}

TEST_F(PnpSequences, ABusDriverReportsArrivalAndDepartureFromDispatchLevel) {
    PDEVICE_OBJECT physical = bus_->CreatePhysicalDevice();
    NTSTATUS installed = STATUS_PENDING;
    pnp::DeviceNode* node = nullptr;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    pnp::ReportDeviceArrived(physical, Description(), [&](NTSTATUS status, pnp::DeviceNode* n) {
        installed = status;
        node = n;
    });
    KeLowerIrql(irql);
    pnp::WaitForIdle();
    EXPECT_EQ(installed, STATUS_SUCCESS);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    recording_.Clear();
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    pnp::ReportDeviceGone(physical);
    KeLowerIrql(irql);
    pnp::WaitForIdle();
    EXPECT_EQ(recording_.Take(":PnP"), Concat({ThroughStack("0x17"), ThroughStack("0x02")}));
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Deleted);
}

TEST_F(PnpSequences, SerialPortsGetTheirComNameFromTheArbiterOncePerInstance) {
    unsigned index = 0;
    auto plug = [&](const char* instance, std::vector<io::RegistryValue> values = {}) {
        values.push_back(DwordValue("Index", index++));
        pnp::DeviceDescription serial = Description(std::move(values), false);
        serial.serialPort = true;
        serial.instancePath = instance;
        return Install(serial);
    };
    auto portName = [](pnp::DeviceNode* node) {
        const auto value = io::QueryRegistryValue(io::HardwareKeyPath(pnp::PhysicalDevice(node)), "PortName");
        return value ? value->AsString() : std::string("(none)");
    };
    pnp::DeviceNode* first = plug("TEST\\RECORDER\\A");
    EXPECT_EQ(portName(first), "COM3"); // COM1 and COM2 are the machine's own
    EXPECT_EQ(portName(plug("TEST\\RECORDER\\B")), "COM4");

    // The first device leaves and comes back: same instance, same name; a new instance gets a new one.
    pnp::SurpriseRemove(first);
    EXPECT_EQ(portName(plug("test\\recorder\\a")), "COM3");
    EXPECT_EQ(portName(plug("TEST\\RECORDER\\C")), "COM5");
    // A name the installation gives is kept.
    EXPECT_EQ(portName(plug("TEST\\RECORDER\\D", {{"PortName", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '9', 0, 0, 0}}})), "COM9");
}

TEST_F(PnpSequences, RequestsArriveAtPassiveLevelWithStatusNotSupported) {
    pnp::DeviceNode* node = Install(Description());
    ULONG_PTR information = 1;
    // A request nobody handles comes back as the manager sent it.
    EXPECT_EQ(pnp::SendRequest(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &information), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(pnp::Rebalance(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp::QueryRemoveAndRemove(node), STATUS_SUCCESS);
    for (const auto& event : recording_.Events()) {
        EXPECT_EQ(event.find("AtRaisedIrql"), std::string::npos) << event;
        EXPECT_EQ(event.find("NotInitialised"), std::string::npos) << event;
    }
}

} // namespace
} // namespace tarvel::testing

namespace tarvel::testing {
namespace {

// The same surprise removal with the last handle closed by another thread, under many schedules: the
// removal goes out exactly once, after the close, and the machine boots clean every time.
TEST(PnpSchedules, SurpriseRemovalAndTheLastCloseInAnyOrder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
        kernel::Boot({kernel::Policy::Random, seed});
        Recording recording;
        {
            TestBus bus(recording);
            pnp::DeviceDescription description;
            description.functionService = "pnprecfunc";
            description.hardwareKey = {SinkValue(recording), DwordValue("Index", 1)};
            pnp::DeviceNode* node = nullptr;
            ASSERT_EQ(pnp::InstallDevice(bus.CreatePhysicalDevice(), description, &node), STATUS_SUCCESS);
            HANDLE handle = user::CreateFileA("\\\\.\\PNPREC1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            kernel::StartThread("closer", [handle] { user::CloseHandle(handle); });
            kernel::StartThread("unplugger", [node] { pnp::SurpriseRemove(node); });
            kernel::RunUntilIdle();
            pnp::WaitForIdle();
            EXPECT_EQ(pnp::State(node), pnp::NodeState::Deleted) << "seed " << seed;
            const auto events = recording.Take("func:");
            const auto close = std::find(events.begin(), events.end(), "func:Close");
            const auto removal = std::find(events.begin(), events.end(), "func:PnP:0x02");
            EXPECT_EQ(std::count(events.begin(), events.end(), "func:PnP:0x02"), 1) << "seed " << seed;
            EXPECT_LT(close, removal) << "seed " << seed;
            EXPECT_EQ(kernel::FindDriver("pnprecfunc"), nullptr) << "seed " << seed;
        }
        kernel::Shutdown();
    }
}

} // namespace
} // namespace tarvel::testing
