// The bus under the force-pending mode: what it could complete at once it pends and completes later,
// from a DPC at DISPATCH_LEVEL (URBs, power of a stack that is not power-pageable) or a worker thread
// (PnP, power of a pageable stack), sometimes before IoCallDriver has returned. A driver routine that
// trusts a request to complete within the call gets a wrong answer; one that waits does not.
#include <cstring>

#include "bus_fixture.h"
#include "tarvel/verifier.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

// What a completion routine saw, and whether the sender's IoCallDriver had returned by then.
struct Seen {
    KEVENT done;
    bool callReturned = false;
    bool completedBeforeReturn = false;
    KIRQL irql = PASSIVE_LEVEL;
    std::string thread;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    seen->completedBeforeReturn = !seen->callReturned;
    seen->irql = KeGetCurrentIrql();
    seen->thread = kernel::CurrentThreadName();
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
    (void)irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request built in `fill` to the device below and records how it completed. With `trusting`,
// the routine reads `result` right after IoCallDriver, as a driver that assumes the bus completes in
// the call; otherwise it waits for the completion first, as it must.
template <class Fill, class Result>
auto Send(PDEVICE_OBJECT lower, Seen& seen, Fill fill, Result result, bool trusting) {
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    fill(IoGetNextIrpStackLocation(irp));
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    seen.callReturned = false;
    IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
    const NTSTATUS sent = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER ? PoCallDriver(lower, irp)
                                                                                         : IoCallDriver(lower, irp);
    seen.callReturned = true;
    auto answer = result(irp);  // trusting: read before the request may have completed
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    if (!trusting) answer = result(irp);
    IoFreeIrp(irp);
    return std::make_pair(sent, answer);
}

class ForcePending : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Attach(Make<SerialAdapter>(KernelClock()));
    }
    // A URB the bus answers at once when not forced: the current frame number.
    std::pair<NTSTATUS, USBD_STATUS> FrameNumber(Seen& seen, bool trusting) {
        std::memset(&urb, 0, sizeof urb);
        urb.Hdr.Length = sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
        urb.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        return Send(Ext(fdo)->Lower, seen,
                    [this](PIO_STACK_LOCATION next) {
                        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                        next->Parameters.Others.Argument1 = &urb;
                    },
                    [this](PIRP) { return urb.Hdr.Status; }, trusting);
    }
    std::pair<NTSTATUS, NTSTATUS> SetPower(Seen& seen, DEVICE_POWER_STATE state) {
        return Send(Ext(fdo)->Lower, seen,
                    [state](PIO_STACK_LOCATION next) {
                        next->MajorFunction = IRP_MJ_POWER;
                        next->MinorFunction = IRP_MN_SET_POWER;
                        next->Parameters.Power.Type = DevicePowerState;
                        next->Parameters.Power.State.DeviceState = state;
                    },
                    [](PIRP irp) { return irp->IoStatus.Status; }, false);
    }
    _URB_GET_CURRENT_FRAME_NUMBER urb{};
};

TEST_F(ForcePending, OffUnderTheSequentialPolicyTheBusAnswersInTheCall) {
    Seen seen;
    const auto [sent, status] = FrameNumber(seen, true);
    EXPECT_EQ(sent, STATUS_SUCCESS);
    EXPECT_EQ(status, USBD_STATUS_SUCCESS);
    EXPECT_TRUE(seen.completedBeforeReturn);
}

TEST_F(ForcePending, AUrbPendsAndCompletesFromADpcBeforeOrAfterTheCallReturns) {
    kernel::SetForcePending(kernel::ForcePendingMode::On);
    int before = 0, after = 0;
    for (int i = 0; i < 16; ++i) {
        Seen seen;
        const auto [sent, status] = FrameNumber(seen, false);
        EXPECT_EQ(sent, STATUS_PENDING);
        EXPECT_EQ(status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
        (seen.completedBeforeReturn ? before : after)++;
    }
    EXPECT_GT(before, 0);
    EXPECT_GT(after, 0);
}

TEST_F(ForcePending, ADriverThatReadsTheUrbBeforeItCompletedGetsAWrongAnswer) {
    kernel::SetForcePending(kernel::ForcePendingMode::On);
    int wrong = 0;
    for (int i = 0; i < 16; ++i) {
        Seen seen;
        wrong += FrameNumber(seen, true).second != USBD_STATUS_SUCCESS;
    }
    EXPECT_GT(wrong, 0) << "a driver trusting synchronous completion must fail under force pending";
}

TEST_F(ForcePending, PnpRequestsPendNowAndThenAndCompleteOnAWorkerThread) {
    kernel::SetForcePending(kernel::ForcePendingMode::On);
    int pended = 0;
    for (int i = 0; i < 16; ++i) {
        DEVICE_CAPABILITIES caps{};
        Seen seen;
        const auto [sent, status] = Send(Ext(fdo)->Lower, seen,
                                         [&caps](PIO_STACK_LOCATION next) {
                                             caps.Size = sizeof caps;
                                             caps.Version = 1;
                                             next->MajorFunction = IRP_MJ_PNP;
                                             next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
                                             next->Parameters.DeviceCapabilities.Capabilities = &caps;
                                         },
                                         [](PIRP irp) { return irp->IoStatus.Status; }, false);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_TRUE(caps.SurpriseRemovalOK);
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        if (sent == STATUS_PENDING) {
            ++pended;
            EXPECT_FALSE(seen.completedBeforeReturn);
            EXPECT_EQ(seen.thread.rfind("worker", 0), 0u) << seen.thread;
        }
    }
    EXPECT_GT(pended, 0);
    EXPECT_LT(pended, 16);
}

TEST_F(ForcePending, PowerCompletesAtDispatchLevelOnlyForAStackThatIsNotPowerPageable) {
    kernel::SetForcePending(kernel::ForcePendingMode::On);
    KIRQL highest = PASSIVE_LEVEL;
    for (int i = 0; i < 12; ++i) {
        Seen seen;
        EXPECT_EQ(SetPower(seen, i % 2 ? PowerDeviceD0 : PowerDeviceD2).second, STATUS_SUCCESS);
        highest = std::max(highest, seen.irql);
    }
    EXPECT_EQ(highest, PASSIVE_LEVEL);  // the test driver sets DO_POWER_PAGABLE
    fdo->Flags &= ~DO_POWER_PAGABLE;
    int atDispatch = 0;
    for (int i = 0; i < 12; ++i) {
        Seen seen;
        EXPECT_EQ(SetPower(seen, i % 2 ? PowerDeviceD0 : PowerDeviceD2).second, STATUS_SUCCESS);
        atDispatch += seen.irql == DISPATCH_LEVEL;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    EXPECT_GT(atDispatch, 0);
}

}  // namespace
}  // namespace tarvel::usb::test
