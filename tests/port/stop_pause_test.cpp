// Stopping the transmitter against a device that refuses data (purge, cleanup, power-down), the count of
// bytes that have not left the port yet, a sleep with bytes on their way, a PnP rebalance with the port
// open, and surprise removal with requests pending. Every case runs for both transmitters, under the
// sequential policy (seed 0) and under eight seeds of the random one.
#include "replug_stack.h"
#include "serial_stack.h"

#include <atomic>
#include <tuple>

namespace porttest {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Case {
    bool buffered;
    std::uint64_t seed;  // 0: sequential
};

StackOptions OptionsFor(const Case& c) {
    StackOptions options = c.seed ? RandomPolicy(c.seed) : StackOptions{};
    options.settings["TxAsync"] = c.buffered ? 1 : 0;
    return options;
}

class StopPauseTest : public SerialStackTest, public ::testing::WithParamInterface<std::tuple<bool, std::uint64_t>> {
protected:
    Case C() const { return {std::get<0>(GetParam()), std::get<1>(GetParam())}; }
    void Begin(StackOptions options) {
        Start(options);
        SetBaudRate(115200);
    }
    void Begin() { Begin(OptionsFor(C())); }
    void NakOut(bool on) { Adapter().NakForever(RecordingAdapter::kBulkOut, on); }

    // Runs body on a thread of its own and waits at most `limit` of virtual time for it; returns how
    // long it took (limit + 1 ms when it did not return in time, and the body then goes on running).
    k::VirtualTime Timed(k::VirtualTime limit, std::function<void()> body) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        const k::VirtualTime start = Now();
        k::StartThread("timed", [body = std::move(body), done] {
            body();
            *done = true;
        });
        while (!*done && Now() - start <= limit) RunFor(1 * kMs);
        return *done ? Now() - start : limit + 1 * kMs;
    }

    // Three writes of distinct bytes that cannot all be taken at once: 5000 bytes each.
    void WriteThree() {
        for (std::size_t i = 0; i < 3; i++) Write(w[i], Pattern(5000, 5000 * i));
        RunFor(5 * kMs);
        for (auto& r : w) ASSERT_FALSE(r.Done()) << "a refusing device leaves every write pending";
    }

    // What the far end must have got: the first Information bytes of each write, in order. A write
    // reports exactly the bytes of it that went out.
    void ExpectTrueCounts() {
        Bytes expected;
        for (auto& r : w) {
            ASSERT_TRUE(r.Done());
            ASSERT_LE(r.Information(), r.buffer.size());
            expected.insert(expected.end(), r.buffer.begin(), r.buffer.begin() + r.Information());
        }
        RunFor(2000 * kMs);
        EXPECT_EQ(peer.ReceivedBytes().size(), expected.size());
        EXPECT_TRUE(peer.ReceivedBytes() == expected);
    }

    void ExpectTheTransmitterWorks() {
        peer.ClearReceived();
        Request after;
        Write(after, Pattern(10, 99));
        Wait(after);
        EXPECT_EQ(after.Status(), STATUS_SUCCESS);
        EXPECT_EQ(after.Information(), 10u);
        RunFor(50 * kMs);
        EXPECT_EQ(peer.ReceivedBytes(), Pattern(10, 99));
    }

    Request w[3];
};

// A stopping transmitter starts nothing: the purge returns at once although the device refuses every
// packet, and every write ends cancelled with the bytes of it that really left (or, for the buffered
// transmitter, that stay in its buffer and leave later).
TEST_P(StopPauseTest, PurgeTxAbortEndsEveryWriteAtOnceAgainstARefusingDevice) {
    Begin();
    NakOut(true);
    WriteThree();
    EXPECT_LE(Timed(1000 * kMs, [&] { Purge(SERIAL_PURGE_TXABORT); }), 100 * kMs);
    for (auto& r : w) {
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(r.Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(w[1].Information(), 0u);
    EXPECT_EQ(w[2].Information(), 0u);
    NakOut(false);
    ExpectTrueCounts();
    ExpectTheTransmitterWorks();
}

TEST_P(StopPauseTest, PurgeTxAbortAndTxClearCountOnlyTheBytesThatWentOut) {
    StackOptions options = OptionsFor(C());
    options.adapter.txFifoSize = 64;   // at 9600 baud the bytes trickle out
    Start(options);
    for (std::size_t i = 0; i < 3; i++) Write(w[i], Pattern(5000, 5000 * i));
    RunFor(200 * kMs);
    ASSERT_FALSE(peer.ReceivedBytes().empty());
    EXPECT_LE(Timed(1000 * kMs, [&] { Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR); }), 100 * kMs);
    for (auto& r : w) {
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(r.Status(), STATUS_CANCELLED) << "its bytes did not all go out";
    }
    ExpectTrueCounts();
    EXPECT_LT(peer.ReceivedBytes().size(), 1000u);
}

TEST_P(StopPauseTest, CloseWithWritesPendingReturnsAtOnceAgainstARefusingDevice) {
    Begin();
    NakOut(true);
    WriteThree();
    EXPECT_LE(Timed(1000 * kMs, [&] { Close(); }), 100 * kMs);
    for (auto& r : w) {
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(r.Status(), STATUS_CANCELLED);
    }
    NakOut(false);
    ExpectTrueCounts();
    Open();
    ExpectTheTransmitterWorks();
}

// A power-down must complete whatever the device does. The write on the wire ends with what went out
// (the buffered transmitter keeps the rest); everything not yet sent goes out after the wake.
TEST_P(StopPauseTest, SleepWithWritesPendingReturnsAtOnceAndTheRestGoesOutAfterTheWake) {
    Begin();
    NakOut(true);
    WriteThree();
    EXPECT_LE(Timed(1000 * kMs, [&] { tarvel::power::SetSystemState(PowerSystemSleeping3); }), 100 * kMs);
    NakOut(false);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    for (auto& r : w) Wait(r);
    EXPECT_EQ(w[1].Status(), STATUS_SUCCESS);
    EXPECT_EQ(w[2].Status(), STATUS_SUCCESS);
    ExpectTrueCounts();
}

// The out-queue amount, a flush and TXEMPTY count every byte accepted and not yet confirmed sent: the
// bytes of a transfer on the wire, those in the transmit ring, the rest of a write that waits for room
// and the writes queued behind it.
TEST_P(StopPauseTest, BytesOnTheWireAreStillInTheOutQueue) {
    Begin();
    SetWaitMask(SERIAL_EV_TXEMPTY);
    NakOut(true);
    Request first, second;
    Write(first, Pattern(3000));
    RunFor(10 * kMs);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 3000u);
    Write(second, Pattern(5000, 3000));
    RunFor(10 * kMs);
    EXPECT_EQ(CommStatus().AmountInOutQueue, 8000u);

    Request txEmpty;
    Control(txEmpty, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    std::atomic<bool> flushed{false};
    k::StartThread("flusher", [&] {
        u::FlushFileBuffers(com);
        flushed = true;
    });
    RunFor(100 * kMs);
    EXPECT_FALSE(flushed) << "a flush returned with 8000 bytes not sent";
    EXPECT_FALSE(txEmpty.Done()) << "TXEMPTY with 8000 bytes not sent";

    NakOut(false);
    while (!flushed) RunFor(1 * kMs);
    RunFor(1 * kMs);
    std::size_t taken = 0;
    for (const auto& p : Adapter().outPackets) taken += p.size;
    EXPECT_EQ(taken, 8000u) << "the flush returned before the device had taken the last byte";
    EXPECT_EQ(CommStatus().AmountInOutQueue, 0u);
    Wait(txEmpty);
    EXPECT_EQ(Ulong(txEmpty), ULONG{SERIAL_EV_TXEMPTY});
    Wait(first);
    Wait(second);
    EXPECT_EQ(second.Information(), 5000u);
}

// A sleep with bytes on their way: every byte the port accepted reaches the device after the wake,
// once and in order.
TEST_P(StopPauseTest, BytesOnTheirWayAtASleepArriveOnceInOrderAfterTheWake) {
    StackOptions options = OptionsFor(C());
    options.adapter.txFifoSize = 64;
    Start(options);   // 9600 baud: 3000 bytes take 3 s
    Request write;
    Write(write, Pattern(3000));
    RunFor(300 * kMs);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
    Wait(write);
    RunFor(4000 * kMs);
    if (write.Status() == STATUS_SUCCESS) {
        EXPECT_EQ(write.Information(), 3000u);
    }
    const Bytes got = peer.ReceivedBytes();
    EXPECT_EQ(got.size(), write.Information());
    EXPECT_TRUE(got == Bytes(write.buffer.begin(), write.buffer.begin() + write.Information()));
    if (C().buffered) {
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        EXPECT_EQ(got.size(), 3000u);
    }
}

// A rebalance (query-stop, stop, start) with the port open and a read pending: the application sees a
// pause. The same handle reads and writes afterwards, the read that waited gets its bytes, status
// polling runs again, and the device has been told the port's state again.
TEST_P(StopPauseTest, ARebalanceWithThePortOpenIsOnlyAPause) {
    Begin();
    SetBaudRate(19200);
    SetTimeouts(0, 0, 0);
    Request read;
    Read(read, 8);
    ASSERT_FALSE(read.Done());
    const std::size_t before = Adapter().AcceptedCommands().size();
    ASSERT_EQ(tarvel::pnp::Rebalance(usb::Node(BusPort())), STATUS_SUCCESS);
    EXPECT_FALSE(read.Done());
    const auto& commands = Adapter().AcceptedCommands();
    const std::vector<Bytes> since(commands.begin() + std::min(before, commands.size()), commands.end());
    EXPECT_EQ(since, (std::vector<Bytes>{{VCMD_PORT_ENABLE, 1}, {VCMD_MODEM_CONTROL, 3}, {VCMD_LINE_SETTINGS, 0x04 | 1}}));

    peer.Send(Pattern(8));
    Wait(read);
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.buffer, Pattern(8));
    ExpectTheTransmitterWorks();
    peer.SetLines(Lines(true, true, false));
    RunFor(50 * kMs);
    std::vector<std::uint8_t> modem;
    ASSERT_EQ(ControlNow(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modem, 4), STATUS_SUCCESS);
    ASSERT_EQ(modem.size(), 4u);
    EXPECT_EQ(modem[0], MODEM_STATUS_CTS | MODEM_STATUS_DSR) << "status polling runs again";
}

// Writes made while the device is stopped wait for the restart.
TEST_P(StopPauseTest, WritesDuringARebalanceGoOutAfterIt) {
    Begin();
    NakOut(true);
    Request onTheWire;
    Write(onTheWire, Pattern(100));
    RunFor(5 * kMs);
    std::atomic<bool> rebalanced{false};
    k::StartThread("pnp", [&] {
        tarvel::pnp::Rebalance(usb::Node(BusPort()));
        rebalanced = true;
    });
    Request during;
    Write(during, Pattern(50, 100));
    while (!rebalanced) RunFor(1 * kMs);
    NakOut(false);
    Wait(onTheWire);
    Wait(during);
    EXPECT_EQ(during.Status(), STATUS_SUCCESS);
    EXPECT_EQ(during.Information(), 50u);
    RunFor(50 * kMs);
    Bytes expected(onTheWire.buffer.begin(), onTheWire.buffer.begin() + onTheWire.Information());
    expected.insert(expected.end(), during.buffer.begin(), during.buffer.end());
    EXPECT_TRUE(peer.ReceivedBytes() == expected);
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<bool, std::uint64_t>>& info) {
    const std::uint64_t seed = std::get<1>(info.param);
    return std::string(std::get<0>(info.param) ? "Buffered" : "Direct") +
           (seed ? "Seed" + std::to_string(seed) : "Sequential");
}

INSTANTIATE_TEST_SUITE_P(Transmitters, StopPauseTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Range<std::uint64_t>(0, 9)), CaseName);

// Surprise removal: the hardware that would finish the pending requests is gone, so every read, write
// and wait the port holds ends at once, and new requests are refused.
class GoneDeviceTest : public ::testing::TestWithParam<std::tuple<bool, std::uint64_t>> {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        k::BootOptions boot;
        if (std::get<1>(GetParam())) {
            boot.policy = k::Policy::Random;
            boot.seed = std::get<1>(GetParam());
        }
        k::Boot(boot);
    }
    void TearDown() override { k::Shutdown(); }
    static void RunFor(k::VirtualTime duration) {
        HANDLE never = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        u::WaitForSingleObject(never, static_cast<DWORD>(duration / kMs));
        u::CloseHandle(never);
    }
};

TEST_P(GoneDeviceTest, SurpriseRemovalEndsEveryPendingRequestAtOnce) {
    ReplugStack stack({{"TxAsync", std::get<0>(GetParam()) ? 1u : 0u}, {"EndPointCaps", 1}});
    ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
    HANDLE com = u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(com, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    auto control = [&](ULONG code, const void* in, DWORD inLength, void* out, DWORD outLength, u::OVERLAPPED* ov) {
        u::DeviceIoControl(com, code, const_cast<void*>(in), inLength, out, outLength, &n, ov);
    };
    u::OVERLAPPED set{}, mask{};
    SERIAL_TIMEOUTS never{0, 0, 0, 0, 0};
    control(IOCTL_SERIAL_SET_TIMEOUTS, &never, sizeof never, nullptr, 0, &set);
    const ULONG ring = SERIAL_EV_RING;
    control(IOCTL_SERIAL_SET_WAIT_MASK, &ring, sizeof ring, nullptr, 0, &mask);
    ASSERT_EQ(static_cast<NTSTATUS>(set.Internal), STATUS_SUCCESS);
    ASSERT_EQ(static_cast<NTSTATUS>(mask.Internal), STATUS_SUCCESS);
    stack.Adapter().NakForever(usb::SerialAdapter::kBulkOut, true);

    u::OVERLAPPED read{}, wait{}, write[2]{};
    std::uint8_t in[10];
    ULONG events = 0;
    const Bytes out(5000, 0x55);
    EXPECT_FALSE(u::ReadFile(com, in, sizeof in, &n, &read));
    control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events, &wait);
    for (auto& ov : write) EXPECT_FALSE(u::WriteFile(com, out.data(), static_cast<DWORD>(out.size()), &n, &ov));
    RunFor(20 * kMs);
    for (auto* ov : {&read, &wait, &write[0], &write[1]}) ASSERT_EQ(static_cast<NTSTATUS>(ov->Internal), STATUS_PENDING);

    const k::VirtualTime start = k::Now();
    stack.Unplug();
    RunFor(10 * kMs);
    EXPECT_LE(k::Now() - start, 100 * kMs);
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_DELETE_PENDING);
    EXPECT_EQ(static_cast<NTSTATUS>(wait.Internal), STATUS_DELETE_PENDING);
    // A write on the wire may have been ended by the pipe driver first, with its word for it.
    for (auto& ov : write) {
        const NTSTATUS status = static_cast<NTSTATUS>(ov.Internal);
        EXPECT_TRUE(status == STATUS_DELETE_PENDING || status == STATUS_DEVICE_NOT_CONNECTED) << std::hex << status;
        EXPECT_EQ(ov.InternalHigh, 0u) << "the refusing device took nothing";
    }
    u::OVERLAPPED late{};
    EXPECT_FALSE(u::ReadFile(com, in, sizeof in, &n, &late));
    EXPECT_EQ(u::GetLastError(), u::NtStatusToDosError(STATUS_DELETE_PENDING));
    u::CloseHandle(com);
    tarvel::pnp::WaitForIdle();   // the removal that the close lets through
}

std::string GoneName(const ::testing::TestParamInfo<std::tuple<bool, std::uint64_t>>& info) {
    return CaseName(info);
}

INSTANTIATE_TEST_SUITE_P(Transmitters, GoneDeviceTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Range<std::uint64_t>(0, 9)), GoneName);

}  // namespace
}  // namespace porttest
