// The port through its life on the whole stack: PnP sequences, surprise removal with the port open,
// cleanup, flush, and sleeping and waking with the port open or closed.
#include "com_port_interface.h"
#include "replug_stack.h"
#include "serial_stack.h"

namespace porttest {
namespace {

using namespace tarvel::kernel;

// Stack options with hardware-key values and whether COM3 is opened at the start.
StackOptions With(std::map<std::string, ULONG> settings, bool open = true) {
    StackOptions options;
    options.settings = std::move(settings);
    options.open = open;
    return options;
}

using Bytes = std::vector<std::uint8_t>;

class LifecycleTest : public SerialStackTest {
protected:
    tarvel::pnp::DeviceNode* Node() { return usb::Node(BusPort()); }
    std::size_t Commands() { return Adapter().AcceptedCommands().size(); }
    std::vector<Bytes> CommandsSince(std::size_t from) {
        const auto& all = Adapter().AcceptedCommands();
        return {all.begin() + std::min(from, all.size()), all.end()};
    }
    static std::size_t SerialCommEntries(const std::string& com) {
        std::size_t n = 0;
        for (const auto& entry : u::EnumerateSerialComm()) n += entry.port == com;
        return n;
    }
    // Win32 refusal of a request the port completes with `status` at once.
    static DWORD Refused(NTSTATUS status) { return u::NtStatusToDosError(status); }
};

TEST_F(LifecycleTest, ARestartAfterAStopKeepsTheNameWithoutMakingItAgain) {
    Start(With({}, false));
    ASSERT_EQ(tarvel::pnp::Rebalance(Node()), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStarted);
    EXPECT_EQ(ext->PreviousPnpState, PnpStopped);
    EXPECT_EQ(tarvel::io::FindDevice("\\\\.\\COM3"), port);
    EXPECT_EQ(SerialCommEntries("COM3"), 1u);
    Open();
    Request write;
    Write(write, Pattern(5));
    Wait(write);
    EXPECT_EQ(write.Information(), 5u);
}

TEST_F(LifecycleTest, ACancelledRemoveQueryLeavesThePortStarted) {
    Start(With({}, false));
    ASSERT_EQ(tarvel::pnp::QueryRemoveAndCancel(Node()), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStarted);
    ASSERT_EQ(tarvel::pnp::QueryStopAndCancel(Node()), STATUS_SUCCESS);
    EXPECT_EQ(ext->PnpState, PnpStarted);
}

TEST_F(LifecycleTest, CleanupEndsThePendingWaitWithNoEventsAndCancelsPendingReads) {
    Start();
    SetWaitMask(SERIAL_EV_RING);
    Request wait;
    Control(wait, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    SetTimeouts(0, 0, 0);
    Request first, second;
    Read(first, 10);
    Read(second, 10);
    ASSERT_FALSE(wait.Done());
    ASSERT_FALSE(first.Done());
    Close();
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Information(), 0u);
    EXPECT_EQ(first.Status(), STATUS_CANCELLED);
    EXPECT_EQ(second.Status(), STATUS_CANCELLED);
    EXPECT_EQ(first.Information(), 0u);
}

class FlushTest : public LifecycleTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(FlushTest, AnIdleTransmitterFlushesAtOnce) {
    Start(With({{"TxAsync", GetParam()}}));
    Request write;
    Write(write, Pattern(20));
    Wait(write);
    RunFor(100 * kMs);  // the buffered transmitter's ring drains too
    const VirtualTime before = Now();
    EXPECT_TRUE(u::FlushFileBuffers(com));
    EXPECT_EQ(Now(), before);
}

TEST_P(FlushTest, ATransmitterThatNeverDrainsIsGivenUpAfterThirtySeconds) {
    Start(With({{"TxAsync", GetParam()}}));
    Adapter().NakForever(usb::SerialAdapter::kBulkOut, true);
    Request first, second;
    Write(first, Pattern(100));
    Write(second, Pattern(50));
    RunFor(10 * kMs);
    const VirtualTime before = Now();
    EXPECT_TRUE(u::FlushFileBuffers(com));
    EXPECT_GE(Now() - before, 30 * kSecond);
    EXPECT_LT(Now() - before, 31 * kSecond);
    Adapter().NakForever(usb::SerialAdapter::kBulkOut, false);
    Wait(first);
    Wait(second);
    EXPECT_EQ(second.Information(), 50u);
}

INSTANTIATE_TEST_SUITE_P(Transmitters, FlushTest, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param ? "Buffered" : "Direct"; });

TEST_F(LifecycleTest, WakingAnOpenPortTellsTheDeviceItsStateAgainAndRestartsTheEngines) {
    Start();
    SetBaudRate(19200);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(ext->DevicePowerState, PortPowerDown);
    EXPECT_TRUE(ext->RxStopped);
    EXPECT_TRUE(ext->TxStopped);
    const auto before = Commands();
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(ext->DevicePowerState, PortPowerWorking);
    EXPECT_EQ(CommandsSince(before), (std::vector<Bytes>{{VCMD_PORT_ENABLE, 1},
                                                         {VCMD_MODEM_CONTROL, 3},
                                                         {VCMD_LINE_SETTINGS, 0x04 | 1}}));
    EXPECT_FALSE(ext->RxStopped);
    EXPECT_FALSE(ext->TxStopped);

    peer.Send(Pattern(8));
    RunFor(20 * kMs);
    Request read;
    Read(read, 8);
    Wait(read);
    EXPECT_EQ(read.buffer, Pattern(8));
    Request write;
    Write(write, Pattern(8));
    Wait(write);
    EXPECT_EQ(write.Information(), 8u);
}

// Bytes the buffered transmitter accepted before a sleep reach the device after the wake, once and in
// order: the write that carried them has reported them as written.
TEST_F(LifecycleTest, BytesBufferedForTransmissionBeforeASleepGoOutAfterTheWake) {
    Start(With({{"TxAsync", 1}}));
    Adapter().NakForever(usb::SerialAdapter::kBulkOut, true);
    Request onTheWire, inTheRing;
    Write(onTheWire, Pattern(100));
    Write(inTheRing, Pattern(50, 100));
    Wait(inTheRing);
    ASSERT_EQ(ext->TxRing.Count, 50u);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    Adapter().NakForever(usb::SerialAdapter::kBulkOut, false);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    Request after;
    Write(after, Pattern(10, 150));
    Wait(after);
    RunFor(50 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(160));
}

// A D0 request for an open port that never powered down re-sends the port state, but the bytes on
// their way out stay.
TEST_F(LifecycleTest, AWakeWithoutASleepKeepsTheBytesOnTheirWay) {
    Start(With({{"TxAsync", 1}}));
    Adapter().NakForever(usb::SerialAdapter::kBulkOut, true);
    Request onTheWire, inTheRing;
    Write(onTheWire, Pattern(100));
    Write(inTheRing, Pattern(50, 100));
    Wait(inTheRing);
    ASSERT_EQ(ext->TxRing.Count, 50u);
    const auto before = Commands();
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_FALSE(CommandsSince(before).empty());  // the D0 request came through the port
    EXPECT_EQ(CommandsSince(before).front(), (Bytes{VCMD_PORT_ENABLE, 1}));
    EXPECT_EQ(ext->TxRing.Count, 50u);
    Adapter().NakForever(usb::SerialAdapter::kBulkOut, false);
    RunFor(100 * kMs);
    EXPECT_EQ(peer.ReceivedBytes().size(), 150u);
}

TEST_F(LifecycleTest, WakingAClosedPortSendsNothing) {
    Start(With({}, false));
    const auto before = Commands();
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Commands(), before);
    EXPECT_EQ(ext->DevicePowerState, PortPowerWorking);
    Open();  // and it opens as usual afterwards
    EXPECT_FALSE(ext->RxStopped);
}

// A resume short of memory: one allocation attempt of the return to S0 fails, in turn every attempt of
// it (the power request the pipe driver asks for below the port, the requests and pool blocks of the
// power-up). Once the system is back in S0 the open port takes its settings and moves data both ways.
TEST_F(LifecycleTest, AResumeShortOfMemoryStillWakesTheOpenPort) {
    Start();
    SetTimeouts(0, 0, 500);
    struct Site {
        FaultSite site;
        const char* name;
    };
    const Site sites[] = {{FaultSite::PowerIrp, "power request"}, {FaultSite::Irp, "request"}, {FaultSite::Pool, "pool"}};
    unsigned injected = 0;
    std::size_t first = 0;
    for (const Site& site : sites) {
        for (unsigned n = 1; n <= 40; ++n) {
            SCOPED_TRACE(std::string(site.name) + " #" + std::to_string(n));
            ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
            ASSERT_EQ(ext->DevicePowerState, PortPowerDown);
            FailNth(site.site, n);
            const NTSTATUS resume = tarvel::power::SetSystemState(PowerSystemWorking);
            const bool failed = FaultsInjected() > 0;
            ClearFaults();
            EXPECT_EQ(resume, STATUS_SUCCESS);
            EXPECT_EQ(ext->DevicePowerState, PortPowerWorking);
            SetBaudRate(n % 2 ? 19200 : 9600);

            // Bytes of an earlier round that came late do not count for this one.
            RunFor(20 * kMs);
            Purge(SERIAL_PURGE_RXCLEAR);
            peer.ClearReceived();
            Request write;
            Write(write, Pattern(8, first));
            Wait(write);
            EXPECT_EQ(write.Status(), STATUS_SUCCESS);
            EXPECT_EQ(write.Information(), 8u);
            RunFor(20 * kMs);
            EXPECT_EQ(peer.ReceivedBytes(), Pattern(8, first));
            peer.Send(Pattern(8, first + 8));
            Request read;
            Read(read, 8);
            Wait(read);
            EXPECT_EQ(read.buffer, Pattern(8, first + 8));
            first += 16;
            if (!failed) break;  // past the last attempt of the resume
            ++injected;
        }
    }
    EXPECT_GT(injected, 3u);
}

// Surprise removal with the port open: the port disappears from view at once and refuses I/O, and the
// removal waits for the application's close. The adapter is pulled out of a machine of its own, so
// that it can be plugged in again afterwards.
class SurpriseRemovalTest : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Boot();
    }
    void TearDown() override { Shutdown(); }
    static HANDLE OpenCom3() {
        return u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    }
    static DWORD Refused(NTSTATUS status) { return u::NtStatusToDosError(status); }
};

TEST_F(SurpriseRemovalTest, HidesThePortAtOnceAndRemovalWaitsForTheClose) {
    ReplugStack stack;
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    tarvel::pnp::DeviceNode* node = stack.Node();
    PPORT_EXTENSION ext = stack.Ext();
    HANDLE com = OpenCom3();
    ASSERT_NE(com, INVALID_HANDLE_VALUE);
    SERIAL_TIMEOUTS never{0, 0, 0, 0, 0};
    DWORD n = 0;
    u::OVERLAPPED set{};
    if (!u::DeviceIoControl(com, IOCTL_SERIAL_SET_TIMEOUTS, &never, sizeof never, nullptr, 0, &n, &set)) {
        ASSERT_TRUE(u::GetOverlappedResult(com, &set, &n, TRUE));
    }
    u::OVERLAPPED pendingRead{};
    std::uint8_t buffer[10];
    ASSERT_FALSE(u::ReadFile(com, buffer, sizeof buffer, &n, &pendingRead));
    ASSERT_EQ(u::GetLastError(), (DWORD)ERROR_IO_PENDING);

    stack.Unplug();
    EXPECT_TRUE(ext->SurpriseRemoved);
    EXPECT_FALSE(tarvel::io::SymbolicLinkTarget("\\DosDevices\\COM3"));
    for (const auto& entry : u::EnumerateSerialComm()) EXPECT_NE(entry.port, "COM3");
    EXPECT_TRUE(u::EnumerateDeviceInterfaces(kComPortInterface).empty());
    // The device has gone: the read that waited for it ends at once.
    EXPECT_EQ(static_cast<NTSTATUS>(pendingRead.Internal), STATUS_DELETE_PENDING);

    std::uint8_t byte = 0;
    u::OVERLAPPED ov{};
    EXPECT_FALSE(u::WriteFile(com, &byte, 1, &n, &ov));
    EXPECT_EQ(u::GetLastError(), Refused(STATUS_DELETE_PENDING));
    EXPECT_FALSE(u::ReadFile(com, &byte, 1, &n, &ov));
    EXPECT_EQ(u::GetLastError(), Refused(STATUS_DELETE_PENDING));
    SERIAL_BAUD_RATE rate{9600};
    EXPECT_FALSE(u::DeviceIoControl(com, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0, &n, &ov));
    EXPECT_EQ(u::GetLastError(), Refused(STATUS_DELETE_PENDING));

    EXPECT_EQ(tarvel::pnp::State(node), tarvel::pnp::NodeState::SurpriseRemoved);
    EXPECT_NE(tarvel::io::FindDevice("\\Device\\tarvelport0"), nullptr);
    u::CloseHandle(com);
    tarvel::pnp::WaitForIdle();
    EXPECT_EQ(tarvel::pnp::State(node), tarvel::pnp::NodeState::Deleted);
    EXPECT_EQ(tarvel::io::FindDevice("\\Device\\tarvelport0"), nullptr);
    EXPECT_EQ(PoolOutstanding(PORT_TAG_INIT) + PoolOutstanding(PORT_TAG_CIRC) + PoolOutstanding(PORT_TAG_CREA), 0u);

    // Plugged in again, it is COM3 again.
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    com = OpenCom3();
    ASSERT_NE(com, INVALID_HANDLE_VALUE);
    u::CloseHandle(com);
    stack.Unplug();
}

}  // namespace
}  // namespace porttest
