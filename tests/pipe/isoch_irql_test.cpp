// A kernel client may send reads and writes at DISPATCH_LEVEL. On an isochronous pipe the driver
// first resets the pipe and may ask the bus for its current frame, both of which wait for the bus:
// at DISPATCH_LEVEL the transfer is started from a work item instead (the verifier stops any wait at
// that level, and the spy in front of the bus sees the level at which each request arrives), and it is
// carried out as at PASSIVE_LEVEL.
#include "pipe_machine.h"

namespace pipetest {
namespace {

class IsochIrqlTest : public PolicyPipeMachine {
protected:
    void SetUp() override {
        PipeMachine::SetUp();
        device_ = &MakeTestDevice();
        ASSERT_EQ(Install(*device_), STATUS_SUCCESS);
    }
    static NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // A read or write on `file` built as a kernel client builds it (direct I/O: an MDL over the
    // buffer), sent at `irql` and waited for at PASSIVE_LEVEL.
    IO_STATUS_BLOCK SendAt(KIRQL irql, OwnFile* file, UCHAR major, void* buffer, ULONG length, LONGLONG offset) {
        PDEVICE_OBJECT device = PipeDevice();
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        PMDL mdl = nullptr;
        if (length != 0) {
            mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
            MmBuildMdlForNonPagedPool(mdl);
        }
        irp->MdlAddress = mdl;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->FileObject = &file->object;
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset.QuadPart = offset;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, SignalDone, &event, TRUE, TRUE, TRUE);
        KIRQL old;
        KeRaiseIrql(irql, &old);
        const NTSTATUS sent = IoCallDriver(device, irp);
        KeLowerIrql(old);
        if (sent == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        const IO_STATUS_BLOCK result = irp->IoStatus;
        // IoFreeIrp frees the packet only: the MDL goes first, and the request no longer points at it.
        irp->MdlAddress = nullptr;
        if (mdl != nullptr) IoFreeMdl(mdl);
        IoFreeIrp(irp);
        return result;
    }
    TestDevice* device_ = nullptr;
};

TEST_P(IsochIrqlTest, IsochronousTransfersSentAtDispatchLevelWaitNowhere) {
    OwnFile iso;
    ASSERT_EQ(OwnCreate(&iso, L"\\PIPE03"), STATUS_SUCCESS);
    Bytes buffer(96, 0xEE);
    for (LONGLONG offset : {0LL, (1LL << 32) + 3}) {
        SCOPED_TRACE(offset);
        BusSpy::Clear();
        const IO_STATUS_BLOCK r = SendAt(DISPATCH_LEVEL, &iso, IRP_MJ_READ, buffer.data(), 96, offset);
        EXPECT_EQ(r.Status, STATUS_SUCCESS) << std::hex << r.Status;
        EXPECT_EQ(r.Information, 96u);
        const long reset = BusSpy::Find(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL);
        const long transfer = BusSpy::Find(URB_FUNCTION_ISOCH_TRANSFER);
        ASSERT_GE(transfer, 0);
        EXPECT_GE(reset, 0);
        EXPECT_LT(reset, transfer) << "the pipe is still reset first";
        EXPECT_EQ(BusSpy::Count(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER), offset == 0 ? 0u : 1u);
        // The requests the driver waits for are built and sent at PASSIVE_LEVEL only.
        for (const UrbRecord& urb : BusSpy::Urbs()) {
            if (urb.function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
                urb.function == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER) {
                EXPECT_EQ(urb.irql, PASSIVE_LEVEL) << "URB function " << urb.function;
            }
        }
    }
    EXPECT_EQ(buffer[33], 1) << "the device's data arrived";
    // Refusals come back too, from the work item.
    EXPECT_EQ(SendAt(DISPATCH_LEVEL, &iso, IRP_MJ_WRITE, buffer.data(), 0, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OwnClose(&iso), STATUS_SUCCESS);
    RunFor(10);  // the work item gives its reference back after the request has completed
    EXPECT_EQ(Ext()->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(Policies, IsochIrqlTest, PolicyRange(), PolicyName);

}  // namespace
}  // namespace pipetest
