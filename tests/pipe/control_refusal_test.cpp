// A control transfer on the default pipe that the device refuses (STALL) fails with the bus's status
// and reports no bytes, whichever code carried it: the buffered one the driver waits for and the two
// direct ones that complete on the client's own request. The default pipe is not halted by it.
#include "pipe_machine.h"

namespace pipetest {
namespace {

class ControlRefusalTest : public PolicyPipeMachine {
protected:
    void SetUp() override {
        PipeMachine::SetUp();
        device_ = &MakeTestDevice();
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    TestDevice* device_ = nullptr;
};

TEST_P(ControlRefusalTest, RefusedControlTransfersFailWithTheBusStatusAndNoBytes) {
    PFILE_OBJECT file = OpenPipe("");
    const UCHAR command[10] = {0x40, 0x0B, 0, 0, 0, 0, 2, 0, 0x12, 0x34};
    const UCHAR readSetup[8] = {0xC0, 0x01, 0, 0, 0, 0, 4, 0};
    const UCHAR writeSetup[8] = {0x40, 0x02, 0, 0, 0, 0, 4, 0};
    UCHAR data[4] = {1, 2, 3, 4};
    device_->FailControlTransfers(3);

    IO_STATUS_BLOCK r = Control(file, IOCTL_PIPE_CONTROL_TRANSFER, command, sizeof(command), nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 0u);
    r = Control(file, IOCTL_PIPE_CONTROL_READ_DIRECT, readSetup, sizeof(readSetup), data, sizeof(data));
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 0u);
    r = Control(file, IOCTL_PIPE_CONTROL_WRITE_DIRECT, writeSetup, sizeof(writeSetup), data, sizeof(data));
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 0u);
    EXPECT_TRUE(device_->requests.empty()) << "the device took none of them";

    // The next ones go through.
    r = Control(file, IOCTL_PIPE_CONTROL_READ_DIRECT, readSetup, sizeof(readSetup), data, sizeof(data));
    EXPECT_EQ(r.Status, STATUS_SUCCESS) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 4u);
    EXPECT_EQ(Bytes(data, data + 4), (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
    r = Control(file, IOCTL_PIPE_CONTROL_TRANSFER, command, sizeof(command), nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 2u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(Policies, ControlRefusalTest, PolicyRange(), PolicyName);

}  // namespace
}  // namespace pipetest
