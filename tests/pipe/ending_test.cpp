// Requests that a device never answers are ended by whoever needs them gone: a stop ends the control
// transfers on the default pipe as well as the transfers on the pipes, and the last close of a handle
// ends the transfers its file object left outstanding.
#include "pipe_machine.h"

namespace pipetest {
namespace {

class EndingTest : public PolicyPipeMachine {
protected:
    void SetUp() override {
        PipeMachine::SetUp();
        device_ = &MakeTestDevice();
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    // Runs until `done` or 10 s of virtual time have passed; whether it was done.
    static bool RunUntil(const bool& done) {
        for (int i = 0; i < 100 && !done; ++i) RunFor(100);
        return done;
    }
    TestDevice* device_ = nullptr;
};

TEST_P(EndingTest, StopEndsControlTransfersThatTheDeviceNaksForever) {
    PFILE_OBJECT file = OpenPipe("");
    device_->NakRequests(true);
    // The port driver's vendor command, which the driver waits for, and a direct one that stays
    // pending on the client's own request.
    const UCHAR command[10] = {0x40, 0x0B, 0, 0, 0, 0, 2, 0, 0x12, 0x34};
    IO_STATUS_BLOCK waited{};
    bool waitedDone = false;
    kernel::StartThread("vendor-command", [&] {
        waited = Control(file, IOCTL_PIPE_CONTROL_TRANSFER, command, sizeof(command), nullptr, 0);
        waitedDone = true;
    });
    const UCHAR setup[8] = {0xC0, 0x01, 0, 0, 0, 0, 4, 0};
    UCHAR data[4] = {};
    Pending direct;
    ASSERT_EQ(ControlAsync(file, IOCTL_PIPE_CONTROL_READ_DIRECT, setup, sizeof(setup), data, sizeof(data), &direct),
              STATUS_PENDING);
    RunFor(20);
    ASSERT_FALSE(waitedDone);
    ASSERT_FALSE(direct.done);

    NTSTATUS stop = STATUS_PENDING;
    bool stopped = false;
    kernel::StartThread("rebalance", [&] {
        stop = pnp::Rebalance(Node());
        stopped = true;
    });
    if (!RunUntil(stopped)) {
        ADD_FAILURE() << "the stop still waits after 10 s";
        device_->NakRequests(false);
        while (!stopped) RunFor(100);
    }
    EXPECT_EQ(stop, STATUS_SUCCESS) << std::hex << stop;
    RunUntil(waitedDone);
    EXPECT_TRUE(waitedDone && direct.done);
    EXPECT_EQ(waited.Status, STATUS_CANCELLED) << std::hex << waited.Status;
    EXPECT_EQ(direct.result.Status, STATUS_CANCELLED) << std::hex << direct.result.Status;
    EXPECT_EQ(direct.result.Information, 0u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);

    // Started again, the default pipe works.
    device_->NakRequests(false);
    const IO_STATUS_BLOCK again = Control(file, IOCTL_PIPE_CONTROL_TRANSFER, command, sizeof(command), nullptr, 0);
    EXPECT_EQ(again.Status, STATUS_SUCCESS) << std::hex << again.Status;
    EXPECT_EQ(again.Information, 2u);
}

TEST_P(EndingTest, ClosingAHandleEndsTheReadItLeftPending) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(64);
    Pending read;
    ASSERT_EQ(ReadAsync(in, buffer.data(), 64, &read), STATUS_PENDING);
    RunFor(10);
    ASSERT_FALSE(read.done);

    Close(in);
    RunUntil(read.done);
    EXPECT_TRUE(read.done) << "the read outlived its handle";
    EXPECT_EQ(read.result.Status, STATUS_CANCELLED) << std::hex << read.result.Status;
    RunFor(10);
    EXPECT_EQ(Ext()->ConfigInfo->PipeTable[1].PipeInfo->PipeFlags, static_cast<ULONG>(PIPE_MARKER_CLOSED))
        << "the close followed";
    EXPECT_EQ(Ext()->OutstandingIo, 1);

    // The pipe opens again and carries data.
    PFILE_OBJECT again = OpenPipe("\\PIPE01");
    ASSERT_NE(again, nullptr);
    device_->QueueInBytes(5);
    EXPECT_EQ(Read(again, buffer.data(), 64).Information, 5u);
}

INSTANTIATE_TEST_SUITE_P(Policies, EndingTest, PolicyRange(), PolicyName);

}  // namespace
}  // namespace pipetest
