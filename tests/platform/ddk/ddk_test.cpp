// The driver-kit headers' own behaviour: the inline request and list helpers, the USB builders, and
// the bindings a driver's calls get (kernel exports, one GUID per module).
#include <gtest/gtest.h>

#include <memory>

#include <usb.h>
#include <usbdlib.h>
#include <wdm.h>

#include "driver_side.h"

namespace {

// A request laid out as the I/O manager lays one out: the stack locations follow the IRP, and the
// current location starts one past the last of them.
class TestIrp {
  public:
    explicit TestIrp(CCHAR stackSize) : bytes_(new unsigned char[IoSizeOfIrp(stackSize)]()) {
        irp_ = reinterpret_cast<PIRP>(bytes_.get());
        irp_->StackCount = stackSize;
        irp_->CurrentLocation = static_cast<CHAR>(stackSize + 1);
        irp_->Tail.Overlay.CurrentStackLocation = Location(stackSize);
    }
    PIRP get() const { return irp_; }
    PIO_STACK_LOCATION Location(int index) const {
        return reinterpret_cast<PIO_STACK_LOCATION>(irp_ + 1) + index;
    }

  private:
    std::unique_ptr<unsigned char[]> bytes_;
    PIRP irp_;
};

NTSTATUS NTAPI CompletionA(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI CompletionB(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(DdkRequestHelpers, PassingDownCopiesParametersButNotTheCallersCompletion) {
    TestIrp request(3);
    PIRP irp = request.get();
    ASSERT_EQ(IoGetNextIrpStackLocation(irp), request.Location(2));

    PIO_STACK_LOCATION top = IoGetNextIrpStackLocation(irp);
    top->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    top->Parameters.DeviceIoControl.IoControlCode = 0x001B0004;
    top->Parameters.DeviceIoControl.InputBufferLength = 4;
    IoSetNextIrpStackLocation(irp);
    ASSERT_EQ(IoGetCurrentIrpStackLocation(irp), request.Location(2));
    EXPECT_EQ(irp->CurrentLocation, 3);

    top->CompletionRoutine = CompletionA;
    top->Context = irp;
    top->Control = SL_PENDING_RETURNED | SL_INVOKE_ON_SUCCESS;
    request.Location(1)->CompletionRoutine = CompletionB;
    IoCopyCurrentIrpStackLocationToNext(irp);

    PIO_STACK_LOCATION next = request.Location(1);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode, 0x001B0004u);
    EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(next->Control, 0);
    EXPECT_EQ(next->CompletionRoutine, CompletionB); // left for IoSetCompletionRoutine, never the caller's

    int context = 0;
    IoSetCompletionRoutine(irp, CompletionA, &context, TRUE, FALSE, TRUE);
    EXPECT_EQ(next->CompletionRoutine, CompletionA);
    EXPECT_EQ(next->Context, &context);
    EXPECT_EQ(next->Control, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL);
    IoSetCompletionRoutine(irp, CompletionA, nullptr, FALSE, TRUE, FALSE);
    EXPECT_EQ(next->Control, SL_INVOKE_ON_ERROR);
}

TEST(DdkRequestHelpers, SkippingGivesTheNextDriverTheCurrentLocation) {
    TestIrp request(2);
    PIRP irp = request.get();
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION mine = IoGetCurrentIrpStackLocation(irp);

    IoMarkIrpPending(irp);
    EXPECT_EQ(mine->Control, SL_PENDING_RETURNED);
    EXPECT_EQ(request.Location(0)->Control, 0);

    IoSkipCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->CurrentLocation, 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), mine);
}

TEST(DdkRequestHelpersDeathTest, NoLocationLeftStopsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TestIrp request(1);
    PIRP irp = request.get();
    IoSetNextIrpStackLocation(irp);
    IoSetNextIrpStackLocation(irp);
    EXPECT_DEATH(IoGetNextIrpStackLocation(irp), "ASSERTION FAILED: Irp->CurrentLocation > 0");
}

struct Item {
    int value;
    LIST_ENTRY link;
};

int ValueOf(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, Item, link)->value;
}

TEST(DdkLists, KeepTheirOrderAndTellWhenTheyRunEmpty) {
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    Item items[4] = {{0, {}}, {1, {}}, {2, {}}, {3, {}}};
    InsertTailList(&head, &items[1].link);
    InsertTailList(&head, &items[2].link);
    InsertTailList(&head, &items[3].link);
    InsertHeadList(&head, &items[0].link);

    EXPECT_EQ(ValueOf(RemoveHeadList(&head)), 0);
    EXPECT_EQ(ValueOf(RemoveTailList(&head)), 3);
    EXPECT_FALSE(RemoveEntryList(&items[2].link));
    EXPECT_TRUE(RemoveEntryList(&items[1].link));
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST(DdkListsDeathTest, CorruptLinkStopsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LIST_ENTRY head, stray;
    InitializeListHead(&head);
    Item first{1, {}}, second{2, {}};
    InsertTailList(&head, &first.link);
    InsertTailList(&head, &second.link);
    second.link.Blink = &stray; // a link overwritten behind the list's back
    EXPECT_DEATH(RemoveEntryList(&first.link), "corrupt list entry");
}

TEST(DdkUsbBuilders, FillTheUrbAndSizeSelectionsForExpressionArguments) {
    URB urb{};
    UCHAR buffer[64];
    USBD_PIPE_HANDLE pipe = &buffer;
    if (sizeof(buffer) > 0)
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               buffer, nullptr, sizeof(buffer),
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    else
        FAIL();
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, pipe);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, 3u);

    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x0B, 0, 0, buffer,
                          nullptr, 8, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 0x0B);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 8u);

    // Two interfaces with five pipes between them: the URB, one more interface, three more pipes.
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1 + 1, 2 + 3), 88u + 48u + 3 * 24u);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(1 + 2), 48u + 2 * 24u);
}

TEST(DdkBindings, DriverWideStringCallsReachTheKernelsSixteenBitRoutines) {
    EXPECT_EQ(DdkDriverWideLength(L"COM3"), 4u);
    EXPECT_EQ(DdkDriverWideLength(L""), 0u);
    EXPECT_EQ(DdkDriverCompareNoCase(L"\\PIPE01", L"\\pipe01", 7), 0);
    EXPECT_NE(DdkDriverCompareNoCase(L"\\PIPE01", L"\\PIPE02", 7), 0);
}

TEST(DdkBindings, GuidDefinedInTwoUnitsIsOneObjectWithThePlatformValue) {
    const GUID* guid = DdkDriverComPortGuid();
    EXPECT_EQ(guid, DdkSecondUnitComPortGuid());
    const GUID expected = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    EXPECT_TRUE(IsEqualGUID(*guid, expected));
}

} // namespace
