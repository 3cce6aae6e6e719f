// A client's suspend meets a restart of the device: a stop and start (rebalance) or a removal and a
// new stack (disable and enable) while the device is suspended, or while the suspend or resume is
// still under way. Whatever the order, the stop is carried out, the start finds the device in D0 and
// serves transfers, every client request returns, and no power-down touches a pipe table that a stop
// or start is changing (AddressSanitizer).
#include "pipe_machine.h"

namespace pipetest {
namespace {

namespace power = tarvel::power;

class SuspendRestartTest : public PolicyPipeMachine {
protected:
    void SetUp() override {
        PolicyPipeMachine::SetUp();
        device_ = &MakeTestDevice();  // no remote wake-up: a suspend goes to D3
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    // As a kernel-side client sends the pipe driver's private codes: no file object, waited for.
    NTSTATUS AskPipeDriver(ULONG code) {
        PDEVICE_OBJECT device = PipeDevice();
        return device == nullptr ? STATUS_NO_SUCH_DEVICE : tarvel::io::SendDeviceControlAndWait(device, code);
    }
    bool ReadServed(PFILE_OBJECT file) {
        device_->QueueIn(Bytes(3, 0x21));
        Bytes buffer(64);
        const IO_STATUS_BLOCK r = Read(file, buffer.data(), 64);
        return r.Status == STATUS_SUCCESS && r.Information == 3;
    }
    void ExpectStartedServingInD0() {
        ASSERT_EQ(pnp::State(Node()), pnp::NodeState::Started);
        EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
        EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY));
        EXPECT_EQ(power::ReportedDeviceState(PipeDevice()), PowerDeviceD0);
        PFILE_OBJECT in = OpenPipe("\\PIPE01");
        EXPECT_TRUE(ReadServed(in));
        Close(in);
        EXPECT_EQ(Ext()->OutstandingIo, 1);
        EXPECT_EQ(Ext()->PowerWaiters, 0);
    }
    TestDevice* device_ = nullptr;
};

// The device was suspended by its client when it was stopped, or when its stack was removed: a started
// device is in D0, so the start must not meet a device still suspended on the bus.
TEST_P(SuspendRestartTest, ARestartOfASuspendedDeviceStartsItInD0) {
    ASSERT_EQ(AskPipeDriver(IOCTL_PIPE_SUSPEND_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(pnp::Rebalance(Node()), STATUS_SUCCESS);
    ExpectStartedServingInD0();

    ASSERT_EQ(AskPipeDriver(IOCTL_PIPE_SUSPEND_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(pnp::Disable(Node()), STATUS_SUCCESS);
    pnp::WaitForIdle();
    EXPECT_EQ(pnp::Enable(Node()), STATUS_SUCCESS);
    ExpectStartedServingInD0();
    // The client's resume after the restart finds nothing to do.
    EXPECT_EQ(AskPipeDriver(IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
    ExpectStartedServingInD0();
}

// A stop that the PnP manager cancels leaves the device as it was: still suspended, refusing transfers
// until the client resumes it.
TEST_P(SuspendRestartTest, ACancelledStopLeavesASuspendedDeviceSuspended) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    ASSERT_EQ(AskPipeDriver(IOCTL_PIPE_SUSPEND_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pnp::QueryStopAndCancel(Node()), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_NOT_READY));
    Bytes buffer(64);
    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_POWER_STATE_INVALID);
    Close(in);
    ASSERT_EQ(AskPipeDriver(IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
    ExpectStartedServingInD0();
}

// Suspends and resumes from a client thread while the PnP manager restarts the device again and again,
// and now and then cancels a stop it asked for: a power-down under way when the stop arrives, a suspend
// asked for while the stop drains, a resume right after the start. A stop must not be refused for the
// client's request, a request that the restart refuses says so, and the device's power state and
// whether it takes transfers agree in the end.
TEST_P(SuspendRestartTest, SuspendsAndResumesBesideRestartsLeaveTheDeviceServing) {
    bool running = true;
    int finished = 0;
    std::vector<NTSTATUS> statuses;
    kernel::StartThread("client", [&] {
        for (int i = 0; running; ++i) {
            statuses.push_back(AskPipeDriver(i % 2 == 0 ? IOCTL_PIPE_SUSPEND_DEVICE : IOCTL_PIPE_RESUME_DEVICE));
            RunFor(1 + (GetParam() + i) % 4);
        }
        ++finished;
    });
    for (int i = 0; i < 12; ++i) {
        RunFor(1 + (GetParam() * 7 + i * 3) % 9);
        if (i % 3 == 2) {
            EXPECT_EQ(pnp::QueryStopAndCancel(Node()), STATUS_SUCCESS) << "cancelled stop " << i;
        } else {
            EXPECT_EQ(pnp::Rebalance(Node()), STATUS_SUCCESS) << "restart " << i;
        }
        ASSERT_EQ(pnp::State(Node()), pnp::NodeState::Started) << "restart " << i;
    }
    running = false;
    for (int i = 0; i < 200 && finished < 1; ++i) RunFor(10);
    ASSERT_EQ(finished, 1) << "a suspend or resume never returned";
    for (NTSTATUS status : statuses)
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DELETE_PENDING) << std::hex << status;
    EXPECT_EQ(Ext()->DevicePowerState == PowerDeviceD0, Ext()->IoState == PIPE_IO_READY)
        << "D" << Ext()->DevicePowerState - 1 << " with IoState " << Ext()->IoState;
    ASSERT_EQ(AskPipeDriver(IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
    ExpectStartedServingInD0();
}

// A client's control transfers beside its suspends and resumes. A control transfer that came in after
// the power-down's drain reached the bus as it suspended the device, and a suspended device moves
// nothing: it waited there until a resume, which a port driver holding its lock across the transfer
// never lets through. From the moment a power-down begins, control transfers are refused as bulk
// transfers are; those already under way are waited for or cancelled by the drain.
TEST_P(SuspendRestartTest, ControlTransfersBesideSuspendsAndResumesAllReturn) {
    PFILE_OBJECT file = OpenPipe("");
    bool running = true;
    int finished = 0;
    std::vector<NTSTATUS> statuses;
    kernel::StartThread("client", [&] {
        for (int i = 0; running; ++i) {
            EXPECT_EQ(AskPipeDriver(i % 2 == 0 ? IOCTL_PIPE_SUSPEND_DEVICE : IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
            RunFor(1 + (GetParam() + i) % 3);
        }
        ++finished;
    });
    kernel::StartThread("vendor-writes", [&] {
        const Bytes data{1, 2, 3};
        while (running) {
            statuses.push_back(Control(file, IOCTL_PIPE_VENDOR_WRITE, data.data(), 3, nullptr, 0).Status);
            if (statuses.back() != STATUS_SUCCESS) RunFor(1);
        }
        ++finished;
    });
    RunFor(400);
    running = false;
    for (int i = 0; i < 200 && finished < 2; ++i) RunFor(10);
    ASSERT_EQ(finished, 2) << "a suspend, resume or control transfer never returned";
    for (NTSTATUS status : statuses)
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_POWER_STATE_INVALID || status == STATUS_CANCELLED)
            << std::hex << status;
    if (Ext()->DevicePowerState != PowerDeviceD0) {
        ASSERT_EQ(AskPipeDriver(IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
    }
    Close(file);
    ExpectStartedServingInD0();
}

INSTANTIATE_TEST_SUITE_P(Seeds, SuspendRestartTest, ::testing::Range(0, 13), PolicyName);

}  // namespace
}  // namespace pipetest
