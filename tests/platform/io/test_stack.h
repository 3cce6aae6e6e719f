// Small in-process test drivers: each device of a stack has its own driver object whose dispatch
// routine calls a handler the test sets, so a test can build a stack of misbehaving or recording
// drivers without modules.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvel::io::testing {

struct TestDevice;
using Handler = std::function<NTSTATUS(TestDevice&, PIRP)>;

struct TestDevice {
  std::string name;
  DRIVER_OBJECT driver{};
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;  // what IoAttachDeviceToDeviceStack returned
  Handler handler;                 // every major function
  std::vector<std::string>* log = nullptr;

  // Passes the request down unchanged (no completion routine).
  NTSTATUS PassDown(PIRP irp);
  // Completes the request with status and information.
  static void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0, CCHAR boost = IO_NO_INCREMENT);
};

// A stack of devices, bottom first, each attached to the one before it.
class TestStack {
 public:
  // The top device gets topName (a "\\Device\\..." name) if one is given, and may be exclusive.
  explicit TestStack(std::vector<std::string> names, ULONG deviceFlags = 0, const WCHAR* topName = nullptr,
                     bool exclusive = false);
  ~TestStack();
  TestDevice& operator[](std::size_t i) { return *devices_[i]; }
  TestDevice& Top() { return *devices_.back(); }
  TestDevice& Bottom() { return *devices_.front(); }
  std::size_t Size() const { return devices_.size(); }
  std::vector<std::string> log;
  // Detaches and deletes every device (top first); the destructor does this too unless done.
  void TearDown();
  // The test has taken the devices down itself.
  void Forget() { tornDown_ = true; }

 private:
  std::vector<std::unique_ptr<TestDevice>> devices_;
  bool tornDown_ = false;
};

// Sends a device-control request built by IoBuildDeviceIoControlRequest to device and waits for it.
IO_STATUS_BLOCK SendControl(PDEVICE_OBJECT device, ULONG code, void* input = nullptr, ULONG inputLength = 0,
                            void* output = nullptr, ULONG outputLength = 0, NTSTATUS* returned = nullptr);

}  // namespace tarvel::io::testing
