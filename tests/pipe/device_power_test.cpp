// Device power requests that meet or fail: clients' suspends and resumes from several threads at
// once, and power changes that the drivers below refuse. Whatever happens every caller returns, the
// device's power state and whether it accepts transfers agree, and in D0 transfers flow.
#include "pipe_machine.h"

namespace pipetest {
namespace {

namespace power = tarvel::power;

class DevicePowerTest : public PolicyPipeMachine {
protected:
    void SetUp() override {
        PipeMachine::SetUp();
        device_ = &MakeTestDevice();  // no remote wake-up: suspended to D3
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    bool ReadServed(PFILE_OBJECT file) {
        device_->QueueIn(Bytes(3, 0x21));
        Bytes buffer(64);
        const IO_STATUS_BLOCK r = Read(file, buffer.data(), 64);
        return r.Status == STATUS_SUCCESS && r.Information == 3;
    }
    NTSTATUS Ask(PFILE_OBJECT file, ULONG code) { return Control(file, code, nullptr, 0, nullptr, 0).Status; }
    void ExpectServingInD0(PFILE_OBJECT in) {
        EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD0));
        EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_READY));
        EXPECT_TRUE(ReadServed(in));
        EXPECT_EQ(Ext()->OutstandingIo, 1);
    }
    TestDevice* device_ = nullptr;
};

TEST_P(DevicePowerTest, ConcurrentSuspendsAndResumesAllReturnAndAgreeWithTheState) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    PFILE_OBJECT plain = OpenPipe("");
    const ULONG codes[] = {IOCTL_PIPE_SUSPEND_DEVICE, IOCTL_PIPE_SUSPEND_DEVICE, IOCTL_PIPE_RESUME_DEVICE,
                           IOCTL_PIPE_RESUME_DEVICE};
    const char* names[] = {"client-a", "client-b", "client-c", "client-d"};
    std::vector<NTSTATUS> statuses;
    int finished = 0;
    for (int t = 0; t < 4; ++t) {
        kernel::StartThread(names[t], [&, t] {
            for (int i = 0; i < 3; ++i) {
                statuses.push_back(Ask(t % 2 ? in : plain, codes[(t + i) % 4]));
                RunFor(1 + t);
            }
            ++finished;
        });
    }
    for (int i = 0; i < 200 && finished < 4; ++i) RunFor(50);
    ASSERT_EQ(finished, 4) << "a suspend or resume never returned";
    EXPECT_EQ(statuses.size(), 12u);
    for (NTSTATUS status : statuses) EXPECT_EQ(status, STATUS_SUCCESS) << std::hex << status;
    EXPECT_EQ(Ext()->DevicePowerState == PowerDeviceD0, Ext()->IoState == PIPE_IO_READY)
        << "D" << Ext()->DevicePowerState - 1 << " with IoState " << Ext()->IoState;
    EXPECT_EQ(Ext()->OutstandingIo, 1);

    ASSERT_EQ(Ask(plain, IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
    ExpectServingInD0(in);
}

TEST_P(DevicePowerTest, PowerChangesRefusedBelowLeaveTheDeviceServingInD0) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    // A client's suspend whose set request the drivers below refuse.
    BusSpy::RefusePower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(in, IOCTL_PIPE_SUSPEND_DEVICE), STATUS_UNSUCCESSFUL) << "the client learns it was not suspended";
    ExpectServingInD0(in);

    // A sleep whose device query they refuse: the sleep fails and the device stays in service.
    BusSpy::RefusePower(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(NT_SUCCESS(power::SetSystemState(PowerSystemSleeping3)));
    ExpectServingInD0(in);

    // A resume they refuse leaves the device suspended, refusing transfers; the next one serves.
    ASSERT_EQ(Ask(in, IOCTL_PIPE_SUSPEND_DEVICE), STATUS_SUCCESS);
    BusSpy::RefusePower(IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ask(in, IOCTL_PIPE_RESUME_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ext()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
    EXPECT_EQ(Ext()->IoState, static_cast<ULONG>(PIPE_IO_NOT_READY));
    Bytes buffer(64);
    EXPECT_EQ(Read(in, buffer.data(), 64).Status, STATUS_POWER_STATE_INVALID);
    ASSERT_EQ(Ask(in, IOCTL_PIPE_RESUME_DEVICE), STATUS_SUCCESS);
    ExpectServingInD0(in);
}

INSTANTIATE_TEST_SUITE_P(Policies, DevicePowerTest, PolicyRange(), PolicyName);

}  // namespace
}  // namespace pipetest
