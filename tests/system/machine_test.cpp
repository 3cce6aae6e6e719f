// The machine's own parts: the COM-name arbiter, hardware-key settings from the command line, the
// request trace, and the teardown report that must notice what a run leaves behind.
#include "system_fixture.h"

#include <map>
#include <set>

namespace systemtest {
namespace {

TEST(ComNames, FirstFreeFromComThreeSkippingHeldAndLinkedNames) {
    k::Boot();
    m::ComNameArbiter arbiter;
    EXPECT_EQ(arbiter.Claim(), "COM3");
    EXPECT_EQ(arbiter.Claim(), "COM4");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, L"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(arbiter.Claim(), "COM6") << "COM5 is linked by someone else";
    arbiter.Release("com3");
    EXPECT_EQ(arbiter.Claim(), "COM3");
    EXPECT_FALSE(arbiter.Reserve("COM4"));
    EXPECT_TRUE(arbiter.Reserve("COM9"));
    EXPECT_EQ(arbiter.Claim(), "COM7");
    IoDeleteSymbolicLink(&link);
    k::Shutdown();
}

TEST(Settings, NumbersBecomeDwordsAndTextStrings) {
    std::string error;
    auto dword = m::ParseSetting("RxPollPeriod=20", &error);
    ASSERT_TRUE(dword);
    EXPECT_EQ(dword->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(dword->AsDword(), 20u);
    EXPECT_EQ(m::ParseSetting("CtlPollPeriod=-1", &error)->AsDword(), 0xFFFFFFFFu);
    EXPECT_EQ(m::ParseSetting("Mask=0xFFFFFFFF", &error)->AsDword(), 0xFFFFFFFFu);
    auto text = m::ParseSetting("PortName=COM7", &error);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(text->AsString(), "COM7");
    EXPECT_EQ(m::DescribeValue(*text), "\"COM7\"");
    for (const char* bad : {"NoValue", "=5", "A=12x", "A=4294967296", "A=-2147483649", "A=-0x1", "Bad-Name=1"}) {
        error.clear();
        EXPECT_FALSE(m::ParseSetting(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

class Trace : public SystemTest {};

TEST_F(Trace, EverySentRequestCompletesAndTheBytesStillArrive) {
    std::vector<m::TracedRequest> trace;
    m::MachineOptions options;
    options.requestTrace = [&trace](const m::TracedRequest& r) { trace.push_back(r); };
    Boot(options);
    m::AdapterOptions scripted;
    scripted.farSideKind = m::FarSideKind::Scripted;
    m::Adapter& adapter = machine->Plug(scripted);
    ASSERT_TRUE(adapter.Started());
    HANDLE port = Open("COM3");
    ASSERT_TRUE(SetLine(port, 115200));
    const auto data = Bytes("through the traced stack");
    Pending write;
    ASSERT_ISSUED(u::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, &write.ov));
    ASSERT_TRUE(write.Wait(port));
    RunFor(20 * kMs);
    EXPECT_EQ(adapter.Peer().ReceivedBytes(), data);
    Close(port);
    machine->Unplug(adapter);
    const auto report = machine->Shutdown();
    EXPECT_TRUE(report.Clean());

    // Sent once, completed once, in time order, on the two hops.
    std::map<std::uint64_t, int> sent, completed;
    std::set<std::string> hops;
    k::VirtualTime last = 0;
    for (const auto& r : trace) {
        EXPECT_GE(r.time, last);
        last = r.time;
        (r.completion ? completed : sent)[r.number]++;
        hops.insert(r.from + ">" + r.to);
    }
    EXPECT_EQ(hops, (std::set<std::string>{"tarvelport>tarvelpipe", "tarvelpipe>usbhub"}));
    for (const auto& [number, count] : sent) {
        EXPECT_EQ(count, 1) << number;
        EXPECT_EQ(completed[number], 1) << "request #" << number << " was never seen completing";
    }
    auto seen = [&](const std::string& what) {
        return std::any_of(trace.begin(), trace.end(), [&](const auto& r) { return r.what.find(what) != std::string::npos; });
    };
    EXPECT_TRUE(seen("PNP START_DEVICE"));
    EXPECT_TRUE(seen("SELECT_CONFIGURATION"));
    EXPECT_TRUE(seen("CREATE \\PIPE01"));
    EXPECT_TRUE(seen("IOCTL_PIPE_WRITE_BUFFERED \\PIPE00 in 24"));
    EXPECT_TRUE(seen("BULK_OR_INTERRUPT_TRANSFER ep 0x01 OUT 24"));
    EXPECT_TRUE(seen("BULK_OR_INTERRUPT_TRANSFER ep 0x81 IN 4096"));  // the INF's RxReqSize, one segment
    EXPECT_TRUE(seen("VENDOR_DEVICE request 0x0B OUT 2 [03 01]")) << "port enable";
    EXPECT_TRUE(seen("PNP SURPRISE_REMOVAL"));
    EXPECT_TRUE(seen("PNP REMOVE_DEVICE"));
}

class Report : public SystemTest {};

TEST_F(Report, AHandleLeftOpenKeepsTheDeviceAndIsReported) {
    Boot();
    m::Adapter& adapter = machine->Plug();
    HANDLE port = Open(adapter.ComName());
    machine->Unplug(adapter); // the application has not closed the port
    const auto held = machine->Inspect();
    EXPECT_FALSE(held.Clean());
    ASSERT_EQ(held.devicesPresent.size(), 1u);
    EXPECT_NE(held.devicesPresent[0].find(adapter.InstancePath()), std::string::npos);
    EXPECT_NE(held.devicesPresent[0].find("surprise removed"), std::string::npos) << held.devicesPresent[0];
    EXPECT_EQ(held.driversLoaded, (std::vector<std::string>{"tarvelpipe", "tarvelport"})) << "still in use";
    EXPECT_GT(held.poolAllocations, 0u);
    EXPECT_TRUE(held.comNames.empty()) << "the name went at surprise removal";

    Close(port); // the removal follows the last handle
    tarvel::pnp::WaitForIdle();
    EXPECT_TRUE(machine->Inspect().Clean());
}

TEST_F(Report, ACleanRunReportsNothing) {
    Boot();
    m::Adapter& adapter = machine->Plug();
    HANDLE port = Open(adapter.ComName());
    Close(port);
    const auto report = machine->Shutdown();
    EXPECT_TRUE(report.Clean());
    EXPECT_TRUE(report.Findings().empty());
    EXPECT_EQ(report.poolAllocations, 0u);
    EXPECT_TRUE(report.driversLoaded.empty());
}

// Shutting down right after an unplug: the bus deletes the device's object in the removal itself, so
// nothing of the removal is still waiting when the machine stops. Under random schedules, which vary
// where the removal's steps in the drivers above and below interleave.
TEST_F(Report, ShutdownRightAfterAnUnplugLeavesNothingWaiting) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        m::MachineOptions options;
        options.boot.policy = k::Policy::Random;
        options.boot.seed = seed;
        machine.reset();
        Boot(options);
        m::Adapter& adapter = machine->Plug();
        ASSERT_TRUE(adapter.Started());
        const std::string bus = tarvel::io::DeviceName(tarvel::pnp::PhysicalDevice(adapter.Node()));
        ASSERT_FALSE(bus.empty());
        machine->Unplug(adapter);
        EXPECT_EQ(tarvel::io::FindDevice(bus), nullptr) << bus << " outlived its removal";
        testing::internal::CaptureStderr();
        const auto report = machine->Shutdown();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(report.Clean());
        EXPECT_EQ(said.find("still waits at shutdown"), std::string::npos) << said;
    }
}

class Plugging : public SystemTest {};

// The bus cannot create the adapter's device object (the first pool allocation of the plug fails): the
// adapter never appears and the plug says so. The next plug installs with the COM name the failed one
// gave back, and the failed adapter's record never gives that name back again while another adapter
// holds it (here: unplugged with a handle still open, so its removal waits).
TEST_F(Plugging, APlugTheBusCannotEnumerateFailsAndTheNextOneInstalls) {
    Boot();
    k::FailNth(k::FaultSite::Pool, 1);
    m::Adapter& failed = machine->Plug();
    EXPECT_EQ(k::FaultsInjected(), 1u);
    k::ClearFaults();
    EXPECT_EQ(failed.InstallStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(failed.Started());
    EXPECT_FALSE(failed.Plugged());
    EXPECT_TRUE(failed.Gone());
    EXPECT_EQ(failed.BusPort(), nullptr);
    EXPECT_TRUE(failed.Stack().empty());
    EXPECT_FALSE(failed.Model().Plugged());
    machine->Unplug(failed);  // nothing to pull
    const auto afterFailure = machine->Inspect();
    EXPECT_TRUE(afterFailure.Clean()) << afterFailure.Findings().front();

    m::Adapter& again = machine->Plug();
    ASSERT_TRUE(again.Started());
    EXPECT_EQ(again.ComName(), "COM3");
    HANDLE port = Open("COM3");
    ASSERT_TRUE(SetLine(port, 9600));
    machine->Unplug(again);
    ASSERT_FALSE(again.Gone());
    m::Adapter& third = machine->Plug();
    ASSERT_TRUE(third.Started());
    EXPECT_EQ(third.ComName(), "COM4") << "COM3 still belongs to the unplugged adapter with a handle open";
    Close(port);
    tarvel::pnp::WaitForIdle();
    EXPECT_TRUE(again.Gone());
}

} // namespace
} // namespace systemtest
