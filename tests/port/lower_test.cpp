// The port's lower channel against a scripted device below it: what each operation sends (major
// function, control code, file object, buffers), what it returns for every answer, and that an
// allocation failure sends nothing and leaks nothing. The channel's sources are compiled in; the
// device below is a small driver of this test program that records and answers every request.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvelport.h"

namespace {

using namespace tarvel::kernel;

struct Recorded {
    UCHAR major = 0;
    ULONG code = 0;
    PFILE_OBJECT file = nullptr;
    std::vector<UCHAR> input;
    ULONG outputLength = 0;
    ULONG readLength = 0;
    bool hadMdl = false;
};

// The device below: records every request and answers it with `answer` (at once, or later from a
// worker thread when `pend` is set). A packet-size query is answered with `packetSize`, a read with
// `readByte`. With `neverAnswer` a request stays pending until it is cancelled.
struct Below {
    std::vector<Recorded> requests;
    NTSTATUS answer = STATUS_SUCCESS;
    bool pend = false;
    bool neverAnswer = false;
    ULONG packetSize = 64;
    UCHAR readByte = 0x5A;
};
Below* below;

VOID NTAPI BelowCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI BelowDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Recorded r;
    r.major = stack->MajorFunction;
    r.file = stack->FileObject;
    r.hadMdl = irp->MdlAddress != nullptr;
    ULONG_PTR information = 0;
    if (r.major == IRP_MJ_DEVICE_CONTROL) {
        r.code = stack->Parameters.DeviceIoControl.IoControlCode;
        r.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        if (in) r.input.assign(in, in + stack->Parameters.DeviceIoControl.InputBufferLength);
        if (r.code == IOCTL_PIPE_GET_MAX_PACKET_SIZE && NT_SUCCESS(below->answer) && r.outputLength >= 4) {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, &below->packetSize, 4);
            information = 4;
        }
    } else if (r.major == IRP_MJ_READ) {
        r.readLength = stack->Parameters.Read.Length;
        if (NT_SUCCESS(below->answer) && irp->MdlAddress && !below->neverAnswer) {
            auto data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
            data[0] = below->readByte;
            information = 1;
        }
    }
    below->requests.push_back(r);

    if (below->neverAnswer) {
        IoMarkIrpPending(irp);
        (void)IoSetCancelRoutine(irp, BelowCancel);
        return STATUS_PENDING;
    }
    irp->IoStatus.Status = below->answer;
    irp->IoStatus.Information = information;
    if (!below->pend) {
        NTSTATUS status = below->answer;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    QueueWork(WorkQueue::Delayed, [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

class LowerChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        Boot();
        below = &state;
        std::memset(&belowDriver, 0, sizeof(belowDriver));
        std::memset(&portDriver, 0, sizeof(portDriver));
        tarvel::io::InitializeDriverObject(&belowDriver, "lowertest_below");
        tarvel::io::InitializeDriverObject(&portDriver, "lowertest_port");
        for (auto& major : belowDriver.MajorFunction) major = BelowDispatch;
        ASSERT_EQ(IoCreateDevice(&belowDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &belowDevice),
                  STATUS_SUCCESS);
        belowDevice->Flags |= DO_DIRECT_IO;
        belowDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateDevice(&portDriver, sizeof(PORT_EXTENSION), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                                 &portDevice),
                  STATUS_SUCCESS);
        ext = PortExtension(portDevice);
        ext->Self = portDevice;
        ext->LowerDevice = IoAttachDeviceToDeviceStack(portDevice, belowDevice);
        ASSERT_NE(ext->LowerDevice, nullptr);
        portDevice->Flags &= ~DO_DEVICE_INITIALIZING;
        PreparePipeHandle(ext, &ext->TxPipe, PIPE_NAME_TRANSMIT);
        PreparePipeHandle(ext, &ext->RxPipe, PIPE_NAME_RECEIVE);
        PreparePipeHandle(ext, &ext->StatusPipe, PIPE_NAME_STATUS);
        KeInitializeEvent(&idle, NotificationEvent, FALSE);
    }
    void TearDown() override {
        RunUntilIdle();
        EXPECT_EQ(tarvel::io::LiveIrps(), 0u);
        EXPECT_EQ(tarvel::io::LiveMdls(), 0u);
        EXPECT_EQ(PoolOutstanding(PORT_TAG_FILT), 0u);
        IoDetachDevice(belowDevice);
        IoDeleteDevice(portDevice);
        IoDeleteDevice(belowDevice);
        Shutdown();
    }

    Below state;
    DRIVER_OBJECT belowDriver, portDriver;
    PDEVICE_OBJECT belowDevice = nullptr, portDevice = nullptr;
    PPORT_EXTENSION ext = nullptr;
    KEVENT idle;
};

TEST_F(LowerChannelTest, OpenAndCloseSendCreateAndCloseOnThePipesFileObject) {
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->RxPipe, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->RxPipe, FALSE), STATUS_SUCCESS);
    state.pend = true;
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->TxPipe, TRUE), STATUS_SUCCESS);

    ASSERT_EQ(state.requests.size(), 3u);
    EXPECT_EQ(state.requests[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(state.requests[0].file, &ext->RxPipe.FileObject);
    EXPECT_EQ(state.requests[1].major, IRP_MJ_CLOSE);
    EXPECT_EQ(state.requests[1].file, &ext->RxPipe.FileObject);
    EXPECT_EQ(state.requests[2].file, &ext->TxPipe.FileObject);
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->TxPipe, FALSE), STATUS_SUCCESS);
}

// The close of an open pipe reaches the pipe driver with no request left to allocate; otherwise the
// pipe stays open below and the port can never be opened again.
TEST_F(LowerChannelTest, AnOpenPipesCloseReachesThePipeDriverWithNoMemoryLeft) {
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->RxPipe, TRUE), STATUS_SUCCESS);
    FailRandom(FaultSite::Irp, 1.0, 1);
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->RxPipe, FALSE), STATUS_SUCCESS);
    ClearFaults();
    ASSERT_EQ(state.requests.size(), 2u);
    EXPECT_EQ(state.requests[1].major, IRP_MJ_CLOSE);
    EXPECT_EQ(state.requests[1].file, &ext->RxPipe.FileObject);
    // An open that fails below gives its set-aside request back.
    state.answer = STATUS_INVALID_HANDLE;
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->TxPipe, TRUE), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ext->TxPipe.CloseIrp, nullptr);
}

TEST_F(LowerChannelTest, ARefusedOpenReturnsThePipeDriversStatusAndFreesTheRequest) {
    state.answer = STATUS_INVALID_HANDLE;
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->StatusPipe, TRUE), STATUS_INVALID_HANDLE);
    state.pend = true;
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->StatusPipe, TRUE), STATUS_INVALID_HANDLE);
    EXPECT_EQ(tarvel::io::LiveIrps(), 0u);
}

TEST_F(LowerChannelTest, AbortAndResetActOnThePipeNamed) {
    EXPECT_EQ(SendPipeControl(ext, &ext->RxPipe, IOCTL_PIPE_ABORT_PIPE), STATUS_SUCCESS);
    state.pend = true;
    state.answer = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(SendPipeControl(ext, &ext->TxPipe, IOCTL_PIPE_RESET_PIPE), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(state.requests.size(), 2u);
    EXPECT_EQ(state.requests[0].code, IOCTL_PIPE_ABORT_PIPE);
    EXPECT_EQ(state.requests[0].file, &ext->RxPipe.FileObject);
    EXPECT_EQ(state.requests[1].code, IOCTL_PIPE_RESET_PIPE);
    EXPECT_EQ(state.requests[1].file, &ext->TxPipe.FileObject);
}

TEST_F(LowerChannelTest, PacketSizeIsStoredOnlyWhenTheQuerySucceeds) {
    state.packetSize = 512;
    ULONG size = 7;
    EXPECT_EQ(QueryPipePacketSize(ext, &ext->RxPipe, &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 512u);
    ASSERT_EQ(state.requests.size(), 1u);
    EXPECT_EQ(state.requests[0].code, IOCTL_PIPE_GET_MAX_PACKET_SIZE);
    EXPECT_EQ(state.requests[0].outputLength, 4u);
    EXPECT_EQ(state.requests[0].file, &ext->RxPipe.FileObject);

    state.answer = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(QueryPipePacketSize(ext, &ext->TxPipe, &size), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(size, 512u);
    EXPECT_EQ(QueryPipePacketSize(ext, &ext->TxPipe, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(LowerChannelTest, PacketSizeQueryOfASurpriseRemovedPortSendsNothing) {
    ext->SurpriseRemoved = TRUE;
    ULONG size = 33;
    EXPECT_EQ(QueryPipePacketSize(ext, &ext->RxPipe, &size), STATUS_DELETE_PENDING);
    EXPECT_EQ(size, 33u);
    EXPECT_TRUE(state.requests.empty());
}

TEST_F(LowerChannelTest, VendorCommandIsASetupPacketFollowedByThePayload) {
    const UCHAR payload[] = {VCMD_PORT_ENABLE, 1};
    EXPECT_EQ(SendVendorCommand(ext, payload, sizeof(payload)), STATUS_SUCCESS);
    ASSERT_EQ(state.requests.size(), 1u);
    EXPECT_EQ(state.requests[0].code, IOCTL_PIPE_CONTROL_TRANSFER);
    EXPECT_EQ(state.requests[0].file, nullptr);
    EXPECT_EQ(state.requests[0].input, (std::vector<UCHAR>{0x40, 0x0B, 0, 0, 0, 0, 2, 0, VCMD_PORT_ENABLE, 1}));

    state.pend = true;
    state.answer = STATUS_UNSUCCESSFUL;  // a stall below
    EXPECT_EQ(SendVendorCommand(ext, payload, sizeof(payload)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendVendorCommand(ext, nullptr, 2), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state.requests.size(), 2u);
}

// Completion of an asynchronous read, as an engine's would be: it owns and frees the request.
KEVENT* readDone;
NTSTATUS readStatus;
PVOID readContext;
NTSTATUS NTAPI ReadDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    readStatus = irp->IoStatus.Status;
    readContext = context;
    FreePortIrp(irp);
    KeSetEvent(readDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(LowerChannelTest, AsynchronousReadHandsTheRequestToTheCallersCompletion) {
    UCHAR byte = 0;
    readDone = &idle;
    state.pend = true;
    EXPECT_EQ(StartPipeRead(ext, &byte, 1, &ext->StatusPipe, ReadDone, &idle), STATUS_PENDING);
    KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(readStatus, STATUS_SUCCESS);
    EXPECT_EQ(readContext, ext);
    EXPECT_EQ(byte, 0x5A);
    ASSERT_EQ(state.requests.size(), 1u);
    EXPECT_EQ(state.requests[0].major, IRP_MJ_READ);
    EXPECT_EQ(state.requests[0].readLength, 1u);
    EXPECT_TRUE(state.requests[0].hadMdl);
    EXPECT_EQ(state.requests[0].file, &ext->StatusPipe.FileObject);
}

TEST_F(LowerChannelTest, AReadThatCannotStartSignalsTheEnginesIdleEvent) {
    UCHAR byte;
    EXPECT_EQ(StartPipeRead(ext, &byte, 0, &ext->RxPipe, nullptr, &idle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeReadStateEvent(&idle), 1);
    KeClearEvent(&idle);
    EXPECT_EQ(StartPipeRead(ext, nullptr, 1, &ext->RxPipe, nullptr, &idle), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeReadStateEvent(&idle), 1);
    KeClearEvent(&idle);
    FailNth(FaultSite::Irp, 1);
    EXPECT_EQ(StartPipeRead(ext, &byte, 1, &ext->RxPipe, nullptr, &idle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(KeReadStateEvent(&idle), 1);
    EXPECT_TRUE(state.requests.empty());
}

TEST_F(LowerChannelTest, SingleStatusReadWaitsForItsByte) {
    UCHAR byte = 0;
    state.pend = true;
    state.readByte = 0x0F;
    EXPECT_EQ(ReadPipeOnce(ext, &byte), STATUS_SUCCESS);
    EXPECT_EQ(byte, 0x0F);
    ASSERT_EQ(state.requests.size(), 1u);
    EXPECT_EQ(state.requests[0].file, &ext->StatusPipe.FileObject);
    state.answer = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(ReadPipeOnce(ext, &byte), STATUS_DEVICE_NOT_CONNECTED);
}

// A status endpoint that never answers must not hold the open for ever: the read is given up after a
// second, cancelled and waited for, and the status byte keeps its value.
TEST_F(LowerChannelTest, SingleStatusReadGivesUpOnADeviceThatNeverAnswers) {
    UCHAR byte = 0x33;
    state.neverAnswer = true;
    const VirtualTime before = Now();
    EXPECT_EQ(ReadPipeOnce(ext, &byte), STATUS_IO_TIMEOUT);
    EXPECT_GE(Now() - before, kSecond);
    EXPECT_LT(Now() - before, 2 * kSecond);
    EXPECT_EQ(byte, 0x33);
    EXPECT_EQ(state.requests.size(), 1u);
    EXPECT_EQ(tarvel::io::LiveIrps(), 0u) << "the cancelled read has ended";
}

// Every operation that allocates: a failed allocation gives STATUS_INSUFFICIENT_RESOURCES, sends
// nothing and leaves nothing allocated.
TEST_F(LowerChannelTest, AllocationFailuresSendNothingAndLeakNothing) {
    const UCHAR payload[] = {VCMD_MODEM_CONTROL, 3};
    ULONG size = 9;
    UCHAR byte;
    FailNth(FaultSite::Irp, 1);
    EXPECT_EQ(SendPipeOpenClose(ext, &ext->RxPipe, TRUE), STATUS_INSUFFICIENT_RESOURCES);
    FailNth(FaultSite::Irp, 1);
    EXPECT_EQ(SendPipeControl(ext, &ext->RxPipe, IOCTL_PIPE_ABORT_PIPE), STATUS_INSUFFICIENT_RESOURCES);
    FailNth(FaultSite::Irp, 1);
    EXPECT_EQ(QueryPipePacketSize(ext, &ext->RxPipe, &size), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(size, 9u);
    FailNth(FaultSite::Pool, 1, PORT_TAG_FILT);
    EXPECT_EQ(SendVendorCommand(ext, payload, sizeof(payload)), STATUS_INSUFFICIENT_RESOURCES);
    FailNth(FaultSite::Irp, 1);
    EXPECT_EQ(SendVendorCommand(ext, payload, sizeof(payload)), STATUS_INSUFFICIENT_RESOURCES);
    FailNth(FaultSite::Irp, 1);
    EXPECT_EQ(ReadPipeOnce(ext, &byte), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(state.requests.empty());
    EXPECT_EQ(PoolOutstanding(PORT_TAG_FILT), 0u);
    EXPECT_EQ(tarvel::io::LiveIrps(), 0u);
}

}  // namespace
