// Power: system sleep and resume mapped to device power by the capabilities, the drain of transfers
// before a power-down, transfers refused while not in D0, wait-wake armed, served and cancelled
// (racing its completion under many seeds), suspend and resume on a client's request, and allocation
// failures on every allocation of these paths.
#include "pipe_machine.h"

namespace pipetest {
namespace {

namespace power = tarvel::power;

class PowerTest : public PipeMachine {
protected:
    void InstallDevice(bool remoteWakeup) {
        device_ = &MakeTestDevice(TestDeviceBlueprint(remoteWakeup));
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    NTSTATUS ReadStatus(PFILE_OBJECT file) {
        Bytes buffer(64);
        return Read(file, buffer.data(), 64).Status;
    }
    bool ReadServed(PFILE_OBJECT file) {
        device_->QueueIn(Bytes(3, 0x21));
        Bytes buffer(64);
        const IO_STATUS_BLOCK r = Read(file, buffer.data(), 64);
        return r.Status == STATUS_SUCCESS && r.Information == 3;
    }
    // Power requests of one kind that reached the bus, as (type, state) pairs.
    std::vector<ULONG> DeviceSets() const {
        std::vector<ULONG> states;
        for (const auto& r : BusSpy::Power())
            if (r.minor == IRP_MN_SET_POWER && r.type == DevicePowerState) states.push_back(r.state);
        return states;
    }
    TestDevice* device_ = nullptr;
};

TEST_F(PowerTest, SleepDrainsAndBlocksTransfersAndResumeServesThemAgain) {
    InstallDevice(true);
    ASSERT_TRUE(Ext()->RemoteWakeupCapable);
    ASSERT_NE(Ext()->WaitWakeIrp, nullptr) << "armed at start";
    EXPECT_EQ(BusSpy::CountPower(IRP_MN_WAIT_WAKE), 1u);

    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    Pending read;
    ASSERT_EQ(ReadAsync(in, buffer.data(), 64, &read), STATUS_PENDING);
    bool readDoneAtDeviceSet = false;
    BusSpy::OnPower([&](const PowerRecord& r) {
        if (r.minor == IRP_MN_SET_POWER && r.type == DevicePowerState && r.state == PowerDeviceD2)
            readDoneAtDeviceSet = read.done;
    });

    ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(read.done);
    EXPECT_FALSE(NT_SUCCESS(read.result.Status)) << "aborted by the power-down";
    EXPECT_TRUE(readDoneAtDeviceSet) << "the read ended before the set request went down";
    EXPECT_EQ(DeviceSets(), (std::vector<ULONG>{PowerDeviceD2}));
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
    EXPECT_EQ(power::ReportedDeviceState(PipeDevice()), PowerDeviceD2);
    EXPECT_EQ(Ext()->SystemPowerState, static_cast<ULONG>(PowerSystemSleeping3));
    EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_NOT_READY));
    EXPECT_NE(Ext()->WaitWakeIrp, nullptr) << "still armed: the device can wake from S3";
    EXPECT_EQ(BusSpy::CountPower(IRP_MN_WAIT_WAKE), 1u) << "the armed request was kept, not asked again";
    EXPECT_EQ(ReadStatus(in), STATUS_POWER_STATE_INVALID);
    Bytes data(4, 1);
    EXPECT_EQ(Control(in, IOCTL_PIPE_READ_BUFFERED, nullptr, 0, data.data(), 4).Status, STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(Ext()->OutstandingIo, 1);

    // Resume: the system request completes only after the device request, so the device is in D0
    // and serving again the moment the transition returns.
    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY));
    EXPECT_EQ(power::ReportedDeviceState(PipeDevice()), PowerDeviceD0);
    EXPECT_EQ(DeviceSets(), (std::vector<ULONG>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_TRUE(ReadServed(in));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(PowerTest, WakeSignalledWhileInD2BringsTheDeviceBackAndArmsAgain) {
    InstallDevice(true);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
    const std::size_t armedBefore = BusSpy::CountPower(IRP_MN_WAIT_WAKE);

    bool woke = false;
    kernel::StartThread("remote-wake", [&] { woke = device_->SignalRemoteWake(); });
    RunFor(100);
    ASSERT_TRUE(woke);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0)) << "D0 requested by the wake";
    EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY));
    EXPECT_EQ(BusSpy::CountPower(IRP_MN_WAIT_WAKE), armedBefore + 1) << "armed again";
    EXPECT_NE(Ext()->WaitWakeIrp, nullptr);
    EXPECT_TRUE(ReadServed(in));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(PowerTest, SuspendReturnsInTheWakeStateAndResumeServesAgain) {
    InstallDevice(true);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    EXPECT_EQ(Control(in, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD2)) << "DeviceWake reached on return";
    EXPECT_EQ(power::ReportedDeviceState(PipeDevice()), PowerDeviceD2);
    EXPECT_EQ(ReadStatus(in), STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(Control(in, IOCTL_PIPE_RESUME_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_TRUE(ReadServed(in));
    EXPECT_EQ(DeviceSets(), (std::vector<ULONG>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(PowerTest, DeviceWithoutRemoteWakeNeverAsksForOrCancelsWaitWake) {
    InstallDevice(false);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    EXPECT_FALSE(Ext()->RemoteWakeupCapable);
    ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3)) << "a device that cannot wake is off";
    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_EQ(power::SetSystemState(PowerSystemHibernate), STATUS_SUCCESS);
    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Control(in, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3)) << "no wake state: the deepest";
    EXPECT_EQ(Control(in, IOCTL_PIPE_RESUME_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(BusSpy::CountPower(IRP_MN_WAIT_WAKE), 0u);
    EXPECT_EQ(Ext()->WaitWakeIrp, nullptr);
    EXPECT_EQ(Ext()->WaitWakeRequested, 0u);
    EXPECT_TRUE(ReadServed(in));
}

TEST_F(PowerTest, SleepDeeperThanTheWakeStateCancelsTheArmedRequest) {
    InstallDevice(true);
    ASSERT_NE(Ext()->WaitWakeIrp, nullptr);
    ASSERT_EQ(power::SetSystemState(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->WaitWakeIrp, nullptr);
    EXPECT_EQ(Ext()->WaitWakeRequested, 0u) << "its callback has run";
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(BusSpy::CountPower(IRP_MN_WAIT_WAKE), 1u) << "not armed again by the resume";
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(PowerTest, StopTakesWaitWakeBackAndTheNextStartArmsItAgain) {
    InstallDevice(true);
    ASSERT_NE(Ext()->WaitWakeIrp, nullptr);
    ASSERT_EQ(pnp::Rebalance(Node()), STATUS_SUCCESS);
    EXPECT_EQ(BusSpy::CountPower(IRP_MN_WAIT_WAKE), 2u) << "cancelled at stop, asked again at start";
    EXPECT_NE(Ext()->WaitWakeIrp, nullptr);
    EXPECT_EQ(Ext()->WaitWakeRequested, 1u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

// A device power request that some other party asked for: its power-down waits for the driver's
// requests without giving back references that belong to nobody waiting, so the removal's event
// stays unsignalled and the count ends at its base.
TEST_F(PowerTest, DevicePowerRequestFromAnotherInitiatorKeepsTheCountWhole) {
    InstallDevice(false);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    struct Done {
        bool finished = false;
        NTSTATUS status = STATUS_PENDING;
    } done;
    auto request = [&](DEVICE_POWER_STATE state) {
        done = Done{};
        POWER_STATE s;
        s.DeviceState = state;
        const NTSTATUS issued = PoRequestPowerIrp(
            tarvel::usb::PhysicalDevice(port_), IRP_MN_SET_POWER, s,
            [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) NTAPI {
                auto* d = static_cast<Done*>(context);
                d->status = status->Status;
                d->finished = true;
            },
            &done, nullptr);
        ASSERT_TRUE(NT_SUCCESS(issued));
        RunFor(500);
        ASSERT_TRUE(done.finished);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
    };
    request(PowerDeviceD3);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    EXPECT_EQ(Ext()->RemoveEvent.Header.SignalState, 0) << "the count never touched 0";
    EXPECT_EQ(ReadStatus(in), STATUS_POWER_STATE_INVALID);
    request(PowerDeviceD0);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    EXPECT_TRUE(ReadServed(in));
}

// The device wakes while a power-down query holds the device's turn for power requests: the wake's
// D0 request waits behind the query until the driver starts the next one, so the query's drain must
// not wait for the reference the wake's request holds (it did, and both waited for good).
TEST_F(PowerTest, AWakeDuringAPowerDownQueryDoesNotHoldUpTheQuery) {
    InstallDevice(true);
    PFILE_OBJECT file = OpenPipe("");
    ASSERT_EQ(Control(file, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    ASSERT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
    ASSERT_NE(Ext()->WaitWakeIrp, nullptr);

    bool queried = false;
    NTSTATUS queryStatus = STATUS_PENDING;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;  // no deeper than the wake state: wait-wake stays armed
    struct Query {
        bool* done;
        NTSTATUS* status;
    } query{&queried, &queryStatus};
    ASSERT_TRUE(NT_SUCCESS(PoRequestPowerIrp(
        tarvel::usb::PhysicalDevice(port_), IRP_MN_QUERY_POWER, state,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) NTAPI {
            auto* q = static_cast<Query*>(context);
            *q->status = status->Status;
            *q->done = true;
        },
        &query, nullptr)));
    ASSERT_FALSE(queried) << "the query drains on a worker";
    ASSERT_TRUE(device_->SignalRemoteWake());
    RunFor(500);
    EXPECT_TRUE(queried);
    EXPECT_EQ(queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0)) << "the wake's D0 request went after it";
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    EXPECT_EQ(Ext()->PowerWaiters, 0);
}

// The disarm of a deeper sleep races the device's own wake: under the random policy the wait-wake
// request's completion and its cancellation meet in both orders across the seeds. Whoever wins, the
// request completes exactly once (the verifier stops a second completion; one never completed keeps
// the removal at tear-down waiting) and the bookkeeping ends idle.
class WaitWakeRaceTest : public PowerTest, public ::testing::WithParamInterface<int> {
protected:
    kernel::BootOptions Options() override {
        kernel::BootOptions options;
        options.policy = kernel::Policy::Random;
        options.seed = static_cast<std::uint64_t>(GetParam());
        options.switchProbability = 0.5;
        return options;
    }
};

TEST_P(WaitWakeRaceTest, CancelAndCompletionMeetInEitherOrder) {
    InstallDevice(true);
    PFILE_OBJECT file = OpenPipe("");
    // Suspended with wait-wake armed: the device may signal wake.
    ASSERT_EQ(Control(file, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    ASSERT_NE(Ext()->WaitWakeIrp, nullptr);

    // The wake comes after a number of switch points that differs from seed to seed, so that it
    // lands before, inside and after the disarm.
    bool waked = false;
    const int delay = GetParam() * 4;
    kernel::StartThread("remote-wake", [&, delay] {
        for (int i = 0; i < delay; ++i) kernel::SwitchPoint();
        waked = device_->SignalRemoteWake();
    });
    const NTSTATUS sleep = power::SetSystemState(PowerSystemHibernate);
    EXPECT_TRUE(sleep == STATUS_SUCCESS) << std::hex << sleep;
    RunFor(200);
    ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    RunFor(200);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
    if (Ext()->WaitWakeRequested == 0) {
        EXPECT_EQ(Ext()->WaitWakeIrp, nullptr);
    }
    RecordProperty("wake_won", waked ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, WaitWakeRaceTest, ::testing::Range(1, 25));

// Every allocation of the power paths fails in turn (pool of the driver's tag, work items, power
// requests): the request that needed it fails with STATUS_INSUFFICIENT_RESOURCES or goes on without
// it, the count of requests inside the driver returns to its base, transfers work again after the
// return to S0, and nothing leaks (checked at tear-down).
TEST_F(PowerTest, AllocationFailuresOnThePowerPathsLeaveTheDeviceWorking) {
    InstallDevice(true);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    struct Site {
        kernel::FaultSite site;
        std::uint32_t tag;
        const char* name;
    };
    const Site sites[] = {{kernel::FaultSite::Pool, PIPE_POOL_TAG, "pool"},
                          {kernel::FaultSite::WorkItem, 0, "work item"},
                          {kernel::FaultSite::PowerIrp, 0, "power request"}};
    unsigned injected = 0;
    for (const Site& site : sites) {
        for (unsigned n = 1; n <= 12; ++n) {
            SCOPED_TRACE(std::string(site.name) + " #" + std::to_string(n));
            kernel::ClearFaults();
            kernel::FailNth(site.site, n, site.tag);
            const NTSTATUS sleep = power::SetSystemState(PowerSystemSleeping3);
            const bool failed = kernel::FaultsInjected() > 0;
            kernel::ClearFaults();
            EXPECT_TRUE(sleep == STATUS_SUCCESS || sleep == STATUS_INSUFFICIENT_RESOURCES) << std::hex << sleep;
            ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
            RunFor(100);
            EXPECT_EQ(Ext()->OutstandingIo, 1);
            EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
            EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY)) << "a power-down that never began blocks nothing";
            EXPECT_TRUE(ReadServed(in));
            if (!failed) break;  // past the last allocation of the path
            ++injected;
        }
    }
    EXPECT_GT(injected, 3u);

    // A suspend whose power-down cannot begin (no work item), or whose power request cannot even be
    // asked for, reports its failure: the client is not told the device sleeps. The device, still in
    // D0, keeps serving transfers.
    for (const kernel::FaultSite site : {kernel::FaultSite::WorkItem, kernel::FaultSite::PowerIrp}) {
        kernel::FailNth(site, 1);
        EXPECT_FALSE(NT_SUCCESS(Control(in, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0).Status));
        EXPECT_EQ(kernel::FaultsInjected(), 1u);
        kernel::ClearFaults();
        EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
        EXPECT_TRUE(ReadServed(in)) << "a power-down that never began blocks nothing";
    }

    // The suspend's own context.
    kernel::FailNth(kernel::FaultSite::Pool, 1, PIPE_POOL_TAG);
    EXPECT_EQ(Control(in, IOCTL_PIPE_SUSPEND_DEVICE, nullptr, 0, nullptr, 0).Status, STATUS_INSUFFICIENT_RESOURCES);
    kernel::ClearFaults();
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

// One allocation attempt fails anywhere in a whole sleep and resume with a read outstanding, and no
// resume without faults follows. The sleep may degrade (the device stays in D0), but once the system
// is back in S0 the device is in D0 and serving, the read has ended once, and the count is at its base.
// A resume whose device request cannot be issued at first keeps the system request waiting until it
// can be: the transition returns with the device already back.
TEST_F(PowerTest, AnAllocationFailedAnywhereInASleepAndResumeEndsServingInS0) {
    InstallDevice(true);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    struct Site {
        kernel::FaultSite site;
        std::uint32_t tag;
        const char* name;
    };
    const Site sites[] = {{kernel::FaultSite::Pool, PIPE_POOL_TAG, "pool"},
                          {kernel::FaultSite::Irp, 0, "request"},
                          {kernel::FaultSite::WorkItem, 0, "work item"},
                          {kernel::FaultSite::PowerIrp, 0, "power request"}};
    unsigned injected = 0;
    for (const Site& site : sites) {
        for (unsigned n = 1; n <= 16; ++n) {
            SCOPED_TRACE(std::string(site.name) + " #" + std::to_string(n));
            Bytes buffer(64);
            Pending read;
            ASSERT_EQ(ReadAsync(in, buffer.data(), 64, &read), STATUS_PENDING);
            kernel::ClearFaults();
            kernel::FailNth(site.site, n, site.tag);
            const NTSTATUS sleep = power::SetSystemState(PowerSystemSleeping3);
            const NTSTATUS resume = power::SetSystemState(PowerSystemWorking);
            const bool failed = kernel::FaultsInjected() > 0;
            kernel::ClearFaults();
            EXPECT_TRUE(sleep == STATUS_SUCCESS || sleep == STATUS_INSUFFICIENT_RESOURCES) << std::hex << sleep;
            EXPECT_EQ(resume, STATUS_SUCCESS);
            EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
            EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY));
            EXPECT_EQ(power::ReportedDeviceState(PipeDevice()), PowerDeviceD0);
            // A sleep that degraded before its drain leaves the read waiting for data.
            if (!read.done) {
                device_->QueueIn(Bytes(1, 0x5A));
                RunFor(10);
            }
            EXPECT_TRUE(read.done);
            EXPECT_TRUE(ReadServed(in));
            EXPECT_EQ(Ext()->OutstandingIo, 1);
            EXPECT_EQ(Ext()->SystemPowerIrp, nullptr);
            if (!failed) break;  // past the last attempt of the cycle
            ++injected;
        }
    }
    EXPECT_GT(injected, 6u);
}

}  // namespace
}  // namespace pipetest
