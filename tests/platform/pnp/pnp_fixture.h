// What the PnP, power and application-side tests share: a booted machine, a record of what the
// recording drivers saw, and a small bus driver in the test program that makes physical devices.
#pragma once

#include <gtest/gtest.h>
#include <ntddk.h>

#include <string>
#include <vector>

#include "recorder/recorder.h"
#include "tarvel/kernel.h"
#include "tarvel/pnp.h"

namespace tarvel::testing {

// Everything the drivers of a test reported, in order.
class Recording {
  public:
    RecorderSink* Sink() { return &sink_; }
    void Add(std::string event) { events_.push_back(std::move(event)); }
    const std::vector<std::string>& Events() const { return events_; }
    // The events that contain part, in order, and forgets everything recorded so far.
    std::vector<std::string> Take(const std::string& part = "");
    void Clear() { events_.clear(); }

  private:
    static void Record(void* context, const char* event) { static_cast<Recording*>(context)->Add(event); }
    std::vector<std::string> events_;
    RecorderSink sink_{&Recording::Record, this};
};

// A bus driver whose physical devices answer the PnP manager as a bus driver must: capabilities with
// a power mapping, success for the state changes, and deletion of the device when the removal of a
// device that has gone reaches it. It holds wait-wake requests until the test signals a wake.
class TestBus {
  public:
    explicit TestBus(Recording& recording);
    ~TestBus();
    PDEVICE_OBJECT CreatePhysicalDevice();
    // The device signals wake: the held wait-wake request completes with status.
    bool CompleteWaitWake(PDEVICE_OBJECT physical, NTSTATUS status = STATUS_SUCCESS);
    // Physical devices not deleted yet (a device that is still present survives its removal).
    std::vector<PDEVICE_OBJECT> LiveDevices() const;
    void DeleteAll();

  private:
    DRIVER_OBJECT driver_{};
};

// The hardware-key value that connects the recording drivers to a test's record.
io::RegistryValue SinkValue(Recording& recording);
io::RegistryValue DwordValue(const std::string& name, ULONG value);

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A device served by pnprecfunc with pnprecfilter above it (unless filtered is false).
    pnp::DeviceDescription Description(std::vector<io::RegistryValue> values = {}, bool filtered = true);
    // Plugs a new physical device in and installs it.
    pnp::DeviceNode* Install(const pnp::DeviceDescription& description, NTSTATUS expected = STATUS_SUCCESS);

    Recording recording_;
    TestBus* bus_ = nullptr;
};

} // namespace tarvel::testing
