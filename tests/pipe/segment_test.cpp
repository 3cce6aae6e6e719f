// Segments end on packet boundaries whatever sizes the registry configures: a device answers an IN
// token with a whole packet and takes a short OUT packet for the end of a transfer, so a segment that
// is not its transfer's last must hold whole packets, or the packet that crosses its end overruns the
// buffer (IN) or ends the device's transfer early (OUT).
#include "pipe_machine.h"

namespace pipetest {
namespace {

class SegmentTest : public PolicyPipeMachine {
protected:
    // Bytes whose value tells their position, so a lost, doubled or shifted byte shows.
    static Bytes Numbered(std::size_t n) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        return b;
    }
    static void QueueAsPackets(TestDevice& device, const Bytes& data, std::size_t packet) {
        for (std::size_t at = 0; at < data.size(); at += packet)
            device.QueueIn(Bytes(data.begin() + at, data.begin() + std::min(data.size(), at + packet)));
    }
    static void ExpectWholePacketsBeforeTheLast(const std::vector<ULONG>& lengths, ULONG packet) {
        ASSERT_FALSE(lengths.empty());
        for (std::size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i] % packet, 0u) << "segment " << i;
    }
};

TEST_P(SegmentTest, FullSpeedTransfersWithThousandByteSizesMoveEveryByteOnceInOrder) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device, {Dword("MaximumTransferSize", 1000), Dword("EP1_SegmentSize", 1000)}), STATUS_SUCCESS);
    EXPECT_EQ(SegmentSize(0), 960u);
    EXPECT_EQ(SegmentSize(1), 960u);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    PFILE_OBJECT out = OpenPipe("\\PIPE00");
    const Bytes data = Numbered(5000);

    QueueAsPackets(device, data, 64);
    Bytes received(5000, 0xEE);
    IO_STATUS_BLOCK r = Read(in, received.data(), 5000);
    EXPECT_EQ(r.Status, STATUS_SUCCESS) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 5000u);
    EXPECT_EQ(received, data);
    EXPECT_EQ(device.QueuedIn(), 0u) << "every packet the device sent was taken";
    ExpectWholePacketsBeforeTheLast(BusSpy::TransferLengths(PipeHandle(1)), 64);

    r = Write(out, data.data(), 5000);
    EXPECT_EQ(r.Status, STATUS_SUCCESS) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 5000u);
    EXPECT_EQ(device.out, data);
    ASSERT_FALSE(device.outPackets.empty());
    for (std::size_t i = 0; i + 1 < device.outPackets.size(); ++i)
        EXPECT_EQ(device.outPackets[i], 64u) << "no short packet before the end, packet " << i;
    ExpectWholePacketsBeforeTheLast(BusSpy::TransferLengths(PipeHandle(0)), 64);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

// A transfer size below one packet leaves no room for the packet a device sends: the pipes get one
// packet's room at select configuration and segments of one packet.
TEST_P(SegmentTest, TransferSizeBelowOnePacketStillCarriesWholePackets) {
    auto& device = MakeTestDevice();
    ASSERT_EQ(Install(device, {Dword("MaximumTransferSize", 40)}), STATUS_SUCCESS);
    PPIPE_ENTRY table = Ext()->ConfigInfo->PipeTable;
    EXPECT_EQ(table[0].PipeInfo->MaximumTransferSize, 64u);
    EXPECT_EQ(table[1].PipeInfo->MaximumTransferSize, 64u);
    EXPECT_EQ(table[2].PipeInfo->MaximumTransferSize, 40u) << "8-byte packets fit";
    EXPECT_EQ(SegmentSize(0), 64u);
    EXPECT_EQ(SegmentSize(1), 64u);
    EXPECT_EQ(SegmentSize(2), 8u);
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    const Bytes data = Numbered(300);
    QueueAsPackets(device, data, 64);
    Bytes received(300);
    const IO_STATUS_BLOCK r = Read(in, received.data(), 300);
    EXPECT_EQ(r.Status, STATUS_SUCCESS) << std::hex << r.Status;
    EXPECT_EQ(r.Information, 300u);
    EXPECT_EQ(received, data);
}

INSTANTIATE_TEST_SUITE_P(Policies, SegmentTest, PolicyRange(), PolicyName);

}  // namespace
}  // namespace pipetest
