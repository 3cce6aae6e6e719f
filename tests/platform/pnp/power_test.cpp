// The power manager: system transitions through a stack whose function driver owns power policy, and
// PoRequestPowerIrp round trips.
#include "pnp_fixture.h"

#include <algorithm>

namespace tarvel::testing {
namespace {

using Power = PlatformTest;
using Events = std::vector<std::string>;

// One system request (minor, state) and the device request it becomes (device state), as the stack
// sees them: system request down, device request from the top, the driver's callback.
Events SystemThenDevice(const std::string& minor, const std::string& system, const std::string& device) {
    return {"filter:Power:" + minor + ":0x00:" + system, "func:Power:" + minor + ":0x00:" + system, "bus:Power:" + minor,
            "filter:Power:" + minor + ":0x01:" + device, "func:Power:" + minor + ":0x01:" + device, "bus:Power:" + minor,
            "func:DevicePowerCallback:" + minor + ":" + device + ":0x00"};
}

Events Concat(std::initializer_list<Events> parts) {
    Events all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(Power, SleepQueriesThenSetsAndTheDeviceFollowsItsCapabilities) {
    pnp::DeviceNode* node = Install(Description({DwordValue("PowerPolicy", 1)}));
    PDEVICE_OBJECT function = pnp::PhysicalDevice(node)->AttachedDevice;
    recording_.Clear();

    EXPECT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(), Concat({SystemThenDevice("0x03", "0x04", "0x03"), SystemThenDevice("0x02", "0x04", "0x03")}));
    EXPECT_EQ(power::SystemState(), PowerSystemSleeping3);
    EXPECT_EQ(power::ReportedDeviceState(function), PowerDeviceD2);

    // Waking is a set request only.
    EXPECT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(recording_.Take(), SystemThenDevice("0x02", "0x01", "0x01"));
    EXPECT_EQ(power::SystemState(), PowerSystemWorking);
    EXPECT_EQ(power::ReportedDeviceState(function), PowerDeviceD0);
}

TEST_F(Power, ARefusedQueryAbandonsTheSleepWithASetToWorking) {
    Install(Description({DwordValue("PowerPolicy", 1)}));
    recording_.Clear();
    EXPECT_EQ(power::SetSystemState(PowerSystemHibernate), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(recording_.Take(), Concat({{"filter:Power:0x03:0x00:0x05", "func:Power:0x03:0x00:0x05", "bus:Power:0x03"},
                                         SystemThenDevice("0x02", "0x01", "0x01")}));
    EXPECT_EQ(power::SystemState(), PowerSystemWorking);
}

// Nothing runs on a sleeping machine: a rebalance and a removal query asked for meanwhile reach the
// stack only after the wake, in the order they were asked, and then go through.
TEST_F(Power, SequencesAskedForDuringASleepWaitForTheWake) {
    pnp::DeviceNode* node = Install(Description({DwordValue("PowerPolicy", 1)}));
    ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    recording_.Clear();
    NTSTATUS rebalanced = STATUS_PENDING;
    NTSTATUS queried = STATUS_PENDING;
    kernel::StartThread("rebalance", [&] { rebalanced = pnp::Rebalance(node); });
    kernel::StartThread("query-remove", [&] {
        kernel::RunFor(kernel::kMillisecond);
        queried = pnp::QueryRemoveAndCancel(node);
    });
    kernel::RunFor(100 * kernel::kMillisecond);
    EXPECT_EQ(rebalanced, STATUS_PENDING);
    EXPECT_EQ(queried, STATUS_PENDING);
    EXPECT_EQ(recording_.Take("func:PnP"), Events{});

    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    kernel::RunUntilIdle();
    pnp::WaitForIdle();
    EXPECT_EQ(rebalanced, STATUS_SUCCESS);
    EXPECT_EQ(queried, STATUS_SUCCESS);
    EXPECT_EQ(pnp::State(node), pnp::NodeState::Started);
    const Events events = recording_.Take("func:");
    const auto wake = std::find(events.begin(), events.end(), "func:Power:0x02:0x01:0x01");
    const auto stop = std::find(events.begin(), events.end(), "func:PnP:0x05");
    const auto remove = std::find(events.begin(), events.end(), "func:PnP:0x01");
    EXPECT_LT(wake, stop);
    EXPECT_LT(stop, remove);
    EXPECT_NE(remove, events.end());
}

struct Completion {
    KEVENT done;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = STATUS_PENDING;
    unsigned calls = 0;
};

void NTAPI Completed(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status) {
    auto* c = static_cast<Completion*>(context);
    c->device = device;
    c->minor = minor;
    c->state = state;
    c->status = status->Status;
    ++c->calls;
    KeSetEvent(&c->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(Power, ARequestAskedForAtDispatchLevelReachesPageableDriversAtPassiveLevel) {
    pnp::DeviceNode* node = Install(Description());
    PDEVICE_OBJECT physical = pnp::PhysicalDevice(node);
    recording_.Clear();
    const std::size_t irpsBefore = io::LiveIrps();
    Completion completion;
    KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(PoRequestPowerIrp(physical, IRP_MN_SET_POWER, d3, Completed, &completion, nullptr), STATUS_PENDING);
    KeLowerIrql(irql);
    KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr);

    EXPECT_EQ(recording_.Take(), (Events{"filter:Power:0x02:0x01:0x04", "func:Power:0x02:0x01:0x04", "bus:Power:0x02"}));
    EXPECT_EQ(completion.calls, 1u);
    EXPECT_EQ(completion.device, physical);
    EXPECT_EQ(completion.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(completion.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(power::ReportedDeviceState(physical->AttachedDevice), PowerDeviceD3);
    EXPECT_EQ(io::LiveIrps(), irpsBefore); // the power manager freed its request
}

TEST_F(Power, WaitWakeGoesToTheTopAndItsCallbackHearsTheWake) {
    pnp::DeviceNode* node = Install(Description({DwordValue("WaitWake", 1)}));
    EXPECT_EQ(recording_.Take("func:WaitWake"), (Events{"func:WaitWakeRequested:0x00000103"}));
    const std::size_t irpsWhileArmed = io::LiveIrps();
    ASSERT_TRUE(bus_->CompleteWaitWake(pnp::PhysicalDevice(node)));
    EXPECT_EQ(recording_.Take(), (Events{"func:WaitWakeCallback:0x00"}));
    EXPECT_EQ(io::LiveIrps(), irpsWhileArmed - 1);
}

TEST_F(Power, RequestsThatCannotBeMadeFailWithoutACallback) {
    pnp::DeviceNode* node = Install(Description());
    recording_.Clear();
    Completion completion;
    KeInitializeEvent(&completion.done, NotificationEvent, FALSE);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(PoRequestPowerIrp(pnp::PhysicalDevice(node), IRP_MN_POWER_SEQUENCE, d0, Completed, &completion, nullptr),
              STATUS_INVALID_PARAMETER_2);
    kernel::FailNth(kernel::FaultSite::PowerIrp, 1);
    EXPECT_EQ(PoRequestPowerIrp(pnp::PhysicalDevice(node), IRP_MN_SET_POWER, d0, Completed, &completion, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    kernel::RunUntilIdle();
    EXPECT_EQ(completion.calls, 0u);
    EXPECT_TRUE(recording_.Events().empty());
    // The fault was the only one: the next request goes through.
    EXPECT_EQ(PoRequestPowerIrp(pnp::PhysicalDevice(node), IRP_MN_SET_POWER, d0, Completed, &completion, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&completion.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(completion.calls, 1u);
}

} // namespace
} // namespace tarvel::testing
