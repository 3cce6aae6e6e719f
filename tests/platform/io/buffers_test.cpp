// What a driver sees of the caller's buffers, and what the caller gets back: buffered and direct I/O
// by the device's flags, the four methods of device control, and the I/O manager's release of system
// buffers and MDLs.
#include <cstring>
#include <string>

#include "io_fixture.h"
#include "test_stack.h"

namespace tarvel::io::testing {
namespace {

using Buffers = IoTest;

struct Seen {
  PVOID systemBuffer = nullptr;
  PVOID userBuffer = nullptr;
  PMDL mdl = nullptr;
  PVOID mdlAddress = nullptr;
  ULONG mdlBytes = 0;
  bool mdlLocked = false;
  PVOID type3 = nullptr;
  std::string input;
};

// The device copies what it was given into `seen` and answers with "reply" in whatever output it has.
Handler Echo(Seen& seen, const char* reply, ULONG_PTR information) {
  return [&seen, reply, information](TestDevice&, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen.systemBuffer = irp->AssociatedIrp.SystemBuffer;
    seen.userBuffer = irp->UserBuffer;
    seen.mdl = irp->MdlAddress;
    if (irp->MdlAddress != nullptr) {
      seen.mdlAddress = MmGetMdlVirtualAddress(irp->MdlAddress);
      seen.mdlBytes = MmGetMdlByteCount(irp->MdlAddress);
      seen.mdlLocked = (irp->MdlAddress->MdlFlags & MDL_PAGES_LOCKED) != 0;
    }
    char* out = nullptr;
    ULONG inputLength = 0;
    const char* in = nullptr;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
      inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG method = METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode);
      seen.type3 = stack->Parameters.DeviceIoControl.Type3InputBuffer;
      in = static_cast<const char*>(method == METHOD_NEITHER ? seen.type3 : irp->AssociatedIrp.SystemBuffer);
      if (method == METHOD_BUFFERED) out = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
      else if (method == METHOD_NEITHER) out = static_cast<char*>(irp->UserBuffer);
      else if (irp->MdlAddress != nullptr) out = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    } else if (stack->MajorFunction == IRP_MJ_WRITE) {
      inputLength = stack->Parameters.Write.Length;
      in = static_cast<const char*>(irp->MdlAddress != nullptr ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                    : irp->AssociatedIrp.SystemBuffer != nullptr ? irp->AssociatedIrp.SystemBuffer
                                                                                : irp->UserBuffer);
    } else if (stack->MajorFunction == IRP_MJ_READ) {
      out = static_cast<char*>(irp->MdlAddress != nullptr ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                               : irp->AssociatedIrp.SystemBuffer != nullptr ? irp->AssociatedIrp.SystemBuffer
                                                                           : irp->UserBuffer);
    }
    if (in != nullptr) seen.input.assign(in, inputLength);
    if (out != nullptr) memcpy(out, reply, information);
    TestDevice::Complete(irp, STATUS_SUCCESS, information);
    return STATUS_SUCCESS;
  };
}

IO_STATUS_BLOCK SendFsd(ULONG major, PDEVICE_OBJECT device, void* buffer, ULONG length) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER offset{};
  PIRP irp = IoBuildSynchronousFsdRequest(major, device, buffer, length, &offset, &event, &iosb);
  EXPECT_NE(irp, nullptr);
  if (IoCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return iosb;
}

TEST_F(Buffers, BufferedReadsAndWritesGoThroughASystemBufferAndOnlyInformationBytesComeBack) {
  TestStack stack({"device"}, DO_BUFFERED_IO);
  Seen seen;
  stack.Top().handler = Echo(seen, "abcdef", 4);
  char data[8] = "1234567";
  EXPECT_EQ(SendFsd(IRP_MJ_READ, stack.Top().device, data, sizeof data).Information, 4u);
  EXPECT_NE(seen.systemBuffer, nullptr);
  EXPECT_NE(seen.systemBuffer, static_cast<void*>(data)) << "the driver works on a copy";
  EXPECT_EQ(seen.mdl, nullptr);
  EXPECT_EQ(std::string(data, 7), "abcd567") << "exactly Information bytes are copied back";

  char text[] = "hello";
  EXPECT_EQ(SendFsd(IRP_MJ_WRITE, stack.Top().device, text, 5).Status, STATUS_SUCCESS);
  EXPECT_EQ(seen.input, "hello");
  EXPECT_NE(seen.systemBuffer, static_cast<void*>(text));
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(Buffers, DirectReadsAndWritesDescribeTheCallersBufferWithALockedMdlThatIsReleasedAfterwards) {
  TestStack stack({"device"}, DO_DIRECT_IO);
  Seen seen;
  stack.Top().handler = Echo(seen, "wxyz", 3);
  char data[16] = {};
  EXPECT_EQ(SendFsd(IRP_MJ_READ, stack.Top().device, data + 5, 10).Information, 3u);
  EXPECT_EQ(seen.systemBuffer, nullptr);
  EXPECT_EQ(seen.mdlAddress, static_cast<void*>(data + 5));
  EXPECT_EQ(seen.mdlBytes, 10u);
  EXPECT_TRUE(seen.mdlLocked);
  EXPECT_EQ(std::string(data + 5, 3), "wxy");
  EXPECT_EQ(LiveMdls(), 0u) << "the I/O manager unlocks and frees the MDL of the request it built";

  char text[] = "direct";
  SendFsd(IRP_MJ_WRITE, stack.Top().device, text, 6);
  EXPECT_EQ(seen.input, "direct");
  EXPECT_EQ(LiveMdls(), 0u);
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(Buffers, ControlCodesUseTheirMethodWhateverTheDeviceFlags) {
  TestStack stack({"device"}, DO_DIRECT_IO);
  Seen seen;
  stack.Top().handler = Echo(seen, "REPLY!", 5);
  char input[] = "in";
  char output[8] = "-------";

  // Buffered: one system buffer for both, input copied in, Information bytes copied out.
  SendControl(stack.Top().device, CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), input, 2, output, 7);
  EXPECT_EQ(seen.input, "in");
  EXPECT_EQ(seen.mdl, nullptr);
  EXPECT_EQ(std::string(output, 7), "REPLY--");

  // Direct: input in the system buffer, output through a locked MDL over the caller's buffer.
  memcpy(output, "-------", 7);
  SendControl(stack.Top().device, CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_OUT_DIRECT, FILE_ANY_ACCESS), input, 2, output, 7);
  EXPECT_EQ(seen.input, "in");
  EXPECT_EQ(seen.mdlAddress, static_cast<void*>(output));
  EXPECT_EQ(seen.mdlBytes, 7u);
  EXPECT_EQ(std::string(output, 7), "REPLY--");
  SendControl(stack.Top().device, CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_IN_DIRECT, FILE_ANY_ACCESS), input, 2, output, 7);
  EXPECT_TRUE(seen.mdlLocked);

  // Neither: the caller's own addresses.
  SendControl(stack.Top().device, CTL_CODE(FILE_DEVICE_UNKNOWN, 4, METHOD_NEITHER, FILE_ANY_ACCESS), input, 2, output, 7);
  EXPECT_EQ(seen.type3, static_cast<void*>(input));
  EXPECT_EQ(seen.userBuffer, static_cast<void*>(output));
  EXPECT_EQ(seen.systemBuffer, nullptr);
  EXPECT_EQ(LiveMdls(), 0u);
  EXPECT_EQ(LiveIrps(), 0u);
}

TEST_F(Buffers, ErrorsCopyNothingBackButWarningsDo) {
  TestStack stack({"device"}, DO_BUFFERED_IO);
  const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 5, METHOD_BUFFERED, FILE_ANY_ACCESS);
  NTSTATUS status = STATUS_BUFFER_OVERFLOW;
  stack.Top().handler = [&](TestDevice&, PIRP irp) {
    memcpy(irp->AssociatedIrp.SystemBuffer, "data", 4);
    TestDevice::Complete(irp, status, 4);
    return status;
  };
  char output[5] = "....";
  EXPECT_EQ(SendControl(stack.Top().device, code, nullptr, 0, output, 4).Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(output), "data");
  memcpy(output, "....", 4);
  status = STATUS_INVALID_PARAMETER;
  EXPECT_EQ(SendControl(stack.Top().device, code, nullptr, 0, output, 4).Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(std::string(output), "....");
}

TEST_F(Buffers, PartialMdlsMapOnlyOnceAndMustBeUnmappedBeforeTheyAreBuiltAgain) {
  char data[3 * PAGE_SIZE];
  PMDL source = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(source, KernelMode, IoWriteAccess);
  PMDL partial = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, partial, data + 100, 200);
  EXPECT_EQ(MmGetMdlVirtualAddress(partial), static_cast<void*>(data + 100));
  EXPECT_EQ(MmGetMdlByteCount(partial), 200u);
  EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL);
  EXPECT_FALSE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED);
  void* mapped = MmGetSystemAddressForMdlSafe(partial, NormalPagePriority);
  EXPECT_EQ(mapped, static_cast<void*>(data + 100));
  EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), mapped) << "a mapped MDL is not mapped again";
  MmUnmapLockedPages(mapped, partial);
  EXPECT_FALSE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED);
  IoBuildPartialMdl(source, partial, data + PAGE_SIZE, 0);  // length 0: the rest of the source
  EXPECT_EQ(MmGetMdlByteCount(partial), 2u * PAGE_SIZE);
  IoFreeMdl(partial);
  MmUnlockPages(source);
  IoFreeMdl(source);
  EXPECT_EQ(LiveMdls(), 0u);
  EXPECT_DEATH(
      {
        PMDL s = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(s, KernelMode, IoWriteAccess);
        PMDL p = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(s, p, data, 10);
        MmGetSystemAddressForMdlSafe(p, NormalPagePriority);
        IoBuildPartialMdl(s, p, data + 10, 10);
      },
      "VERIFIER STOP: partial MDL built again while still mapped in IoBuildPartialMdl");
  EXPECT_DEATH(
      {
        PMDL s = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
        MmProbeAndLockPages(s, KernelMode, IoWriteAccess);
        PMDL p = IoAllocateMdl(data, sizeof data, FALSE, FALSE, nullptr);
        IoBuildPartialMdl(s, p, data + 2 * PAGE_SIZE, PAGE_SIZE + 1);
      },
      "VERIFIER STOP: partial MDL outside its source MDL");
}

TEST_F(Buffers, ApplicationRequestsUseTheTopDevicesFlagsAndCarryTheFileObject) {
  TestStack stack({"bus", "function"}, DO_DIRECT_IO, L"\\Device\\TestFunction");
  Seen seen;
  PFILE_OBJECT seenFile = nullptr;
  KPROCESSOR_MODE seenMode = KernelMode;
  stack.Top().handler = [&](TestDevice& d, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_READ) {
      TestDevice::Complete(irp, STATUS_SUCCESS);
      return STATUS_SUCCESS;
    }
    seenFile = stack->FileObject;
    seenMode = irp->RequestorMode;
    return d.PassDown(irp);
  };
  stack.Bottom().handler = Echo(seen, "xyz", 3);
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(OpenFile("\\Device\\TestFunction", &file), STATUS_SUCCESS);
  char buffer[5] = "....";
  FileRequest read;
  read.majorFunction = IRP_MJ_READ;
  read.buffer = buffer;
  read.length = 4;
  const IO_STATUS_BLOCK iosb = SendFileRequestAndWait(file, read);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(std::string(buffer), "xyz.");
  EXPECT_EQ(seen.mdlAddress, static_cast<void*>(buffer)) << "direct I/O by the top device's flags";
  EXPECT_EQ(seenFile, file);
  EXPECT_EQ(seenMode, UserMode);
  CloseFile(file);
  kernel::RunUntilIdle();
  EXPECT_EQ(LiveIrps(), 0u);
  EXPECT_EQ(LiveMdls(), 0u);
}

TEST_F(Buffers, FailedRequestOrMdlAllocationBuildsNothingAndLeavesNothingBehind) {
  TestStack stack({"device"}, DO_DIRECT_IO);
  char data[16];
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  kernel::FailNth(kernel::FaultSite::Irp, 1);
  EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, stack.Top().device, data, sizeof data, nullptr, &event, &iosb),
            nullptr);
  kernel::FailNth(kernel::FaultSite::Mdl, 1);
  EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, stack.Top().device, data, sizeof data, nullptr, &event, &iosb),
            nullptr);
  kernel::FailNth(kernel::FaultSite::Mdl, 1);
  EXPECT_EQ(IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 6, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                                          stack.Top().device, data, 4, data + 4, 8, FALSE, &event, &iosb),
            nullptr);
  EXPECT_EQ(LiveIrps(), 0u);
  EXPECT_EQ(LiveMdls(), 0u);
  EXPECT_EQ(kernel::FaultsInjected(), 3u);
}

}  // namespace
}  // namespace tarvel::io::testing
