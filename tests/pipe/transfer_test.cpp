// The transfer engine: segmentation by the pipe's segment size, the early end at a short segment,
// zero-length transfers, the pipe reset that comes before a failure reaches the client (stall,
// cancel, abort), and isochronous transfers.
#include "pipe_machine.h"

namespace pipetest {
namespace {

class TransferTest : public PipeMachine {
protected:
    void SetUp() override {
        PipeMachine::SetUp();
        device_ = &MakeTestDevice();
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    // Whether the read was still outstanding when the first pipe reset reached the bus.
    void WatchResetAgainst(const Pending* read) {
        BusSpy::OnUrb([this, read](PURB urb) {
            if (urb->UrbHeader.Function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL && !resetSeen_) {
                resetSeen_ = true;
                readDoneAtReset_ = read->done;
            }
        });
    }
    static Bytes Sequence(std::size_t n, std::uint8_t first = 0) {
        Bytes b(n);
        for (auto& x : b) x = first++;
        return b;
    }
    TestDevice* device_ = nullptr;
    bool resetSeen_ = false;
    bool readDoneAtReset_ = false;
};

TEST_F(TransferTest, BulkReadGoesOutInPacketSegmentsAndEndsAtTheFirstShortOne) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    device_->QueueInBytes(3 * 64 + 10);
    Bytes buffer(4096, 0xEE);
    const IO_STATUS_BLOCK r = Read(in, buffer.data(), 4096);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 202u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 202), Sequence(202));
    EXPECT_EQ(buffer[202], 0xEE) << "nothing written past the data";
    EXPECT_EQ(BusSpy::TransferLengths(PipeHandle(1)), (std::vector<ULONG>{64, 64, 64, 64}));
    for (const auto& urb : BusSpy::Urbs()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            EXPECT_EQ(urb.transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
        }
    }
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(TransferTest, ZeroLengthPacketEndsAReadAndAFullReadNeedsNoShortOne) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    device_->QueueInBytes(64);
    device_->QueueIn({});
    Bytes buffer(4096);
    IO_STATUS_BLOCK r = Read(in, buffer.data(), 4096);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 64u);

    BusSpy::Clear();
    device_->QueueInBytes(128);
    r = Read(in, buffer.data(), 128);
    EXPECT_EQ(r.Information, 128u);
    EXPECT_EQ(BusSpy::TransferLengths(PipeHandle(1)), (std::vector<ULONG>{64, 64}));
}

TEST_F(TransferTest, LongWriteGoesOutInSegmentsOfTheTransferSize) {
    PFILE_OBJECT out = OpenPipe("\\PIPE00");
    const Bytes data = Sequence(10000, 7);
    const IO_STATUS_BLOCK r = Write(out, data.data(), 10000);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 10000u);
    EXPECT_EQ(BusSpy::TransferLengths(PipeHandle(0)), (std::vector<ULONG>{4096, 4096, 1808}));
    EXPECT_EQ(device_->out, data);
    for (const auto& urb : BusSpy::Urbs()) {
        if (urb.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            EXPECT_EQ(urb.transferFlags, static_cast<ULONG>(USBD_SHORT_TRANSFER_OK));
        }
    }
}

TEST_F(TransferTest, ZeroLengthReadSendsNothingAndZeroLengthWriteSendsOneEmptyPacket) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    PFILE_OBJECT out = OpenPipe("\\PIPE00");
    IO_STATUS_BLOCK r = Read(in, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);

    r = Write(out, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(BusSpy::TransferLengths(PipeHandle(0)), (std::vector<ULONG>{0}));
    EXPECT_EQ(device_->outPackets, (std::vector<std::size_t>{0}));
}

TEST_F(TransferTest, StallOnTheThirdSegmentResetsThePipeBeforeTheReadFails) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    device_->QueueInBytes(128);
    device_->QueueStall();
    Bytes buffer(4096);
    Pending read;
    WatchResetAgainst(&read);
    ASSERT_EQ(ReadAsync(in, buffer.data(), 4096, &read), STATUS_PENDING);
    RunFor(100);
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.result.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.result.Information, 128u) << "the bytes of the two segments before the stall";
    EXPECT_EQ(BusSpy::TransferLengths(PipeHandle(1)).size(), 3u);
    EXPECT_TRUE(resetSeen_);
    EXPECT_FALSE(readDoneAtReset_) << "the client sees the failure only after the reset";
    EXPECT_FALSE(device_->EndpointHalted(kBulkIn));

    // The pipe works again.
    device_->QueueInBytes(5);
    EXPECT_EQ(Read(in, buffer.data(), 4096).Information, 5u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(TransferTest, CancelledReadReportsTheBytesMovedAfterThePipeReset) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    device_->QueueInBytes(64);
    Bytes buffer(4096);
    Pending read;
    WatchResetAgainst(&read);
    ASSERT_EQ(ReadAsync(in, buffer.data(), 4096, &read), STATUS_PENDING);
    RunFor(50);
    ASSERT_FALSE(read.done) << "waits for more data";
    io::CancelFileRequests(in);
    RunFor(50);
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.result.Status, STATUS_CANCELLED);
    EXPECT_EQ(read.result.Information, 64u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 64), Sequence(64));
    EXPECT_TRUE(resetSeen_);
    EXPECT_FALSE(readDoneAtReset_);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(TransferTest, AbortEndsAnOutstandingReadOnTheSamePipe) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(256);
    Pending read;
    WatchResetAgainst(&read);
    ASSERT_EQ(ReadAsync(in, buffer.data(), 256, &read), STATUS_PENDING);
    RunFor(10);
    EXPECT_EQ(Control(in, IOCTL_PIPE_ABORT_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    RunFor(50);
    ASSERT_TRUE(read.done);
    EXPECT_FALSE(NT_SUCCESS(read.result.Status));
    EXPECT_EQ(read.result.Information, 0u);
    EXPECT_TRUE(resetSeen_);
    EXPECT_FALSE(readDoneAtReset_);
}

TEST_F(TransferTest, SeveralReadsOutstandingOnOnePipeCompleteInOrder) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes a(64), b(64);
    Pending first, second;
    ASSERT_EQ(ReadAsync(in, a.data(), 64, &first), STATUS_PENDING);
    ASSERT_EQ(ReadAsync(in, b.data(), 64, &second), STATUS_PENDING);
    device_->QueueIn(Bytes(10, 0x11));
    device_->QueueIn(Bytes(20, 0x22));
    RunFor(50);
    ASSERT_TRUE(first.done && second.done);
    EXPECT_EQ(first.result.Information, 10u);
    EXPECT_EQ(second.result.Information, 20u);
    EXPECT_EQ(a[0], 0x11);
    EXPECT_EQ(b[0], 0x22);
}

TEST_F(TransferTest, InterruptPipeReadsOneStatusByte) {
    PFILE_OBJECT status = OpenPipe("\\PIPE02");
    UCHAR byte = 0;
    const IO_STATUS_BLOCK r = Read(status, &byte, 1);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 1u);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(TransferTest, IsochronousReadStartsAsSoonAsPossibleOrRelativeToTheCurrentFrame) {
    PFILE_OBJECT iso = OpenPipe("\\PIPE03");
    Bytes buffer(100);
    IO_STATUS_BLOCK r = Read(iso, buffer.data(), 100);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    const long first = BusSpy::Find(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_GE(first, 0);
    const UrbRecord asap = BusSpy::Urbs()[first];
    EXPECT_EQ(asap.numberOfPackets, 4u) << "100 bytes in 32-byte packets";
    EXPECT_EQ(asap.transferLength, 100u);
    EXPECT_EQ(asap.transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP));
    const long reset = BusSpy::Find(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
    ASSERT_GE(reset, 0);
    EXPECT_LT(reset, first) << "the pipe is reset first";
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER), 0u);

    BusSpy::Clear();
    r = Read(iso, buffer.data(), 64, (1LL << 32) + 3);
    const long framed = BusSpy::Find(URB_FUNCTION_ISOCH_TRANSFER);
    ASSERT_GE(framed, 0);
    EXPECT_EQ(BusSpy::Urbs()[framed].transferFlags, static_cast<ULONG>(USBD_TRANSFER_DIRECTION_IN));
    const long frame = BusSpy::Find(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER);
    ASSERT_GE(frame, 0);
    EXPECT_LT(frame, framed);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(TransferTest, IsochronousRequestWithoutDataIsRefusedBeforeAnythingIsSent) {
    PFILE_OBJECT iso = OpenPipe("\\PIPE03");
    BusSpy::Clear();
    EXPECT_EQ(Read(iso, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write(iso, nullptr, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(BusSpy::Urbs().empty());
}

// The allocations of a read fail in turn (the driver's pool, MDLs): the read fails, nothing the driver
// could not build reaches the bus, no data is lost for the next read, and the count of requests
// inside the driver returns to its base. When only the deferred reset cannot be had, the failure is
// still reported (without the reset).
TEST_F(TransferTest, AllocationFailuresOnTheTransferPath) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    Bytes buffer(256);
    for (kernel::FaultSite site : {kernel::FaultSite::Pool, kernel::FaultSite::Mdl}) {
        for (unsigned n = 1; n <= 4; ++n) {
            SCOPED_TRACE(n);
            BusSpy::Clear();
            kernel::FailNth(site, n, site == kernel::FaultSite::Pool ? PIPE_POOL_TAG : 0);
            device_->QueueInBytes(10);
            const IO_STATUS_BLOCK r = Read(in, buffer.data(), 256);
            const bool injected = kernel::FaultsInjected() > 0;
            kernel::ClearFaults();
            if (!injected) {
                EXPECT_EQ(r.Information, 10u);
                break;
            }
            // The failed allocation may also be one of the I/O manager's or the bus's (which then
            // fails the URB): the request fails either way, and when the driver could not build
            // its transfer nothing went to the bus.
            EXPECT_FALSE(NT_SUCCESS(r.Status));
            EXPECT_EQ(r.Information, 0u);
            if (r.Status == STATUS_INSUFFICIENT_RESOURCES) {
                EXPECT_EQ(BusSpy::Count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u) << "nothing sent";
            }
            // The queued bytes are read by the next round.
            EXPECT_EQ(Read(in, buffer.data(), 256).Information, 10u);
            EXPECT_EQ(Ext()->OutstandingIo, 1);
        }
    }

    // A stall whose reset cannot be deferred: the failure still reaches the client.
    device_->QueueStall();
    kernel::FailNth(kernel::FaultSite::WorkItem, 1);
    const IO_STATUS_BLOCK r = Read(in, buffer.data(), 256);
    EXPECT_EQ(kernel::FaultsInjected(), 1u);
    kernel::ClearFaults();
    EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), 0u);
    EXPECT_EQ(Control(in, IOCTL_PIPE_RESET_PIPE, nullptr, 0, nullptr, 0).Status, STATUS_SUCCESS);
    device_->QueueInBytes(4);
    EXPECT_EQ(Read(in, buffer.data(), 256).Information, 4u);
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

TEST_F(TransferTest, RequestsWithoutAPipeOrAfterCloseAreRefused) {
    PFILE_OBJECT in = OpenPipe("\\PIPE01");
    OwnFile own;
    ASSERT_EQ(OwnCreate(&own, L"\\PIPE00"), STATUS_SUCCESS);
    ASSERT_EQ(OwnClose(&own), STATUS_SUCCESS);
    Bytes data(4, 1);
    EXPECT_EQ(OwnControl(&own, IOCTL_PIPE_WRITE_BUFFERED, data.data(), 4, 0).Status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(OwnControl(nullptr, IOCTL_PIPE_WRITE_BUFFERED, data.data(), 4, 0).Status, STATUS_INVALID_HANDLE);
    Close(in);
    EXPECT_EQ(BusSpy::Count(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);
}

}  // namespace
}  // namespace pipetest
