#include "test_stack.h"

#include <gtest/gtest.h>

#include "tarvel/io.h"
#include "tarvel/kernel.h"

namespace tarvel::io::testing {
namespace {

struct Extension {
  TestDevice* self;
};

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  TestDevice& d = *static_cast<Extension*>(device->DeviceExtension)->self;
  if (!d.handler) {
    TestDevice::Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }
  return d.handler(d, irp);
}

}  // namespace

NTSTATUS TestDevice::PassDown(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

void TestDevice::Complete(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, boost);
}

TestStack::TestStack(std::vector<std::string> names, ULONG deviceFlags, const WCHAR* topName, bool exclusive) {
  for (auto& name : names) {
    auto d = std::make_unique<TestDevice>();
    d->name = name;
    d->log = &log;
    InitializeDriverObject(&d->driver, name);
    for (auto& f : d->driver.MajorFunction) f = Dispatch;
    const bool top = devices_.size() + 1 == names.size();
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, topName);
    EXPECT_EQ(IoCreateDevice(&d->driver, sizeof(Extension), top && topName != nullptr ? &deviceName : nullptr,
                             FILE_DEVICE_UNKNOWN, 0, top && exclusive, &d->device),
              STATUS_SUCCESS);
    static_cast<Extension*>(d->device->DeviceExtension)->self = d.get();
    d->device->Flags |= deviceFlags;
    if (!devices_.empty()) d->lower = IoAttachDeviceToDeviceStack(d->device, devices_.back()->device);
    d->device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    devices_.push_back(std::move(d));
  }
}

void TestStack::TearDown() {
  if (tornDown_) return;
  tornDown_ = true;
  for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
    if ((*it)->lower != nullptr) IoDetachDevice((*it)->lower);
    IoDeleteDevice((*it)->device);
  }
}

TestStack::~TestStack() {
  if (kernel::Booted()) TearDown();
}

IO_STATUS_BLOCK SendControl(PDEVICE_OBJECT device, ULONG code, void* input, ULONG inputLength, void* output,
                            ULONG outputLength, NTSTATUS* returned) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = -1;
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &event, &iosb);
  EXPECT_NE(irp, nullptr);
  if (irp == nullptr) return iosb;
  NTSTATUS status = IoCallDriver(device, irp);
  if (returned != nullptr) *returned = status;
  if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  // A synchronous failure leaves the status block alone: the caller has the status from IoCallDriver.
  else if (NT_ERROR(status)) iosb.Status = status;
  return iosb;
}

}  // namespace tarvel::io::testing
