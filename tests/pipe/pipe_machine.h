// A booted machine with the USB bus, one device model plugged in and tarvelpipe installed on it as the
// function driver through the PnP manager; the test body runs as the emulated application thread.
// Requests reach the driver the two ways its clients send them: as an application that opens the
// pipe driver's device interface with a pipe name appended, and as the port driver does, with create
// and close requests it builds itself on file objects of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bus_spy.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"
#include "tarvel/pnp.h"
#include "tarvelpipe.h"
#include "test_device.h"
#include "usb/bus/usb_bus.h"

namespace pipetest {

namespace kernel = tarvel::kernel;
namespace io = tarvel::io;
namespace pnp = tarvel::pnp;

io::RegistryValue Dword(const char* name, ULONG value);
io::RegistryValue Binary(const char* name, Bytes data);

// A file object owned by the test, as the port driver embeds its own, with a create and close
// request it allocates itself.
struct OwnFile {
    FILE_OBJECT object{};
    WCHAR name[16]{};
};

class PipeMachine : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    virtual kernel::BootOptions Options() { return {}; }

    // The device the test plugs in; it lives until the end of the test case.
    template <class Model, class... Args>
    Model& MakeDevice(Args&&... args) {
        auto model = std::make_unique<Model>(std::forward<Args>(args)...);
        Model& ref = *model;
        model_ = std::move(model);
        return ref;
    }
    TestDevice& MakeTestDevice(DeviceBlueprint blueprint = TestDeviceBlueprint()) { return MakeDevice<TestDevice>(std::move(blueprint)); }

    // Plugs the model in and installs tarvelpipe on it with these hardware-key values.
    NTSTATUS Install(DeviceModel& model, std::vector<io::RegistryValue> values = {});
    pnp::DeviceNode* Node() const { return node_; }
    PDEVICE_OBJECT PipeDevice() const;  // the pipe driver's device object
    PPIPE_EXTENSION Ext() const;
    ULONG PipeCountNow() const;
    USBD_PIPE_HANDLE PipeHandle(ULONG index) const;
    ULONG SegmentSize(ULONG index) const;

    // Application side: the pipe driver's interface, opened with a pipe name appended.
    std::string InterfacePath() const;
    NTSTATUS Open(const std::string& pipeName, PFILE_OBJECT* file);
    PFILE_OBJECT OpenPipe(const std::string& pipeName);  // fails the test unless the open succeeds
    void Close(PFILE_OBJECT file);
    IO_STATUS_BLOCK Read(PFILE_OBJECT file, void* buffer, ULONG length, LONGLONG byteOffset = 0);
    IO_STATUS_BLOCK Write(PFILE_OBJECT file, const void* buffer, ULONG length);
    IO_STATUS_BLOCK Control(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                            ULONG outLength);
    // A request that stays outstanding: its final status block lands in *result, *done turns true.
    struct Pending {
        IO_STATUS_BLOCK result{};
        bool done = false;
    };
    NTSTATUS ReadAsync(PFILE_OBJECT file, void* buffer, ULONG length, Pending* pending);
    NTSTATUS ControlAsync(PFILE_OBJECT file, ULONG code, const void* in, ULONG inLength, void* out,
                          ULONG outLength, Pending* pending);

    // Port-driver side: create and close built by hand on a file object of the test's own.
    NTSTATUS OwnCreate(OwnFile* file, const wchar_t* name);
    NTSTATUS OwnClose(OwnFile* file);
    IO_STATUS_BLOCK OwnControl(OwnFile* file, ULONG code, void* buffer, ULONG inLength, ULONG outLength);

    // Lets everything due in the next `ms` of virtual time happen.
    static void RunFor(unsigned ms) { kernel::RunFor(ms * kernel::kMillisecond); }

    std::unique_ptr<DeviceModel> model_;
    tarvel::usb::Port* port_ = nullptr;
    pnp::DeviceNode* node_ = nullptr;
    std::vector<PFILE_OBJECT> open_;  // closed at tear-down if the test did not
};

// A machine booted under the sequential policy (parameter 0) or under the random policy with the
// parameter as its seed: INSTANTIATE_TEST_SUITE_P(Policies, Suite, PolicyRange()).
class PolicyPipeMachine : public PipeMachine, public ::testing::WithParamInterface<int> {
protected:
    kernel::BootOptions Options() override;
};
inline auto PolicyRange() { return ::testing::Range(0, 9); }
std::string PolicyName(const ::testing::TestParamInfo<int>& info);

}  // namespace pipetest
