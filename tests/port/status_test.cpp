// Modem and line status polling through COM3 against the adapter model, with the lines set by the
// scripted peer, in virtual time: ModemStatus and the modem events of the lines that changed, the pace
// of the status reads, and a port without a status pipe.
#include "serial_stack.h"

namespace porttest {
namespace {

constexpr ULONG kModemEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;

class StatusTest : public SerialStackTest {
protected:
    ULONG ModemStatus() {
        std::vector<std::uint8_t> out;
        EXPECT_EQ(ControlNow(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &out, 4), STATUS_SUCCESS);
        ULONG status = 0;
        if (out.size() == 4) std::memcpy(&status, out.data(), 4);
        return status;
    }
    // Sets the peer's lines and returns the modem events that the next status reads raise (0 if none
    // within 100 ms).
    ULONG LinesChangeTo(usb::InputLines lines) {
        SetWaitMask(kModemEvents);
        Request wait;
        Control(wait, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
        peer.SetLines(lines);
        RunFor(100 * kMs);
        if (!wait.Done()) {
            SetWaitMask(0);   // ends the wait with no events
            return 0;
        }
        return Ulong(wait);
    }
    std::vector<k::VirtualTime> StatusReadGaps(k::VirtualTime from) {
        std::vector<k::VirtualTime> gaps;
        k::VirtualTime last = 0;
        for (const auto& p : Adapter().statusPackets) {
            if (p.at < from) continue;
            if (last) gaps.push_back(p.at - last);
            last = p.at;
        }
        return gaps;
    }
};

TEST_F(StatusTest, EachChangedLineRaisesItsEvent) {
    Start();
    EXPECT_EQ(ModemStatus(), 0u);
    EXPECT_EQ(LinesChangeTo(Lines(true, true)), ULONG{SERIAL_EV_CTS | SERIAL_EV_DSR});
    EXPECT_EQ(ModemStatus(), ULONG{MODEM_STATUS_CTS | MODEM_STATUS_DSR});   // status byte 0x03
    EXPECT_EQ(LinesChangeTo(Lines(true)), ULONG{SERIAL_EV_DSR});
    EXPECT_EQ(ModemStatus(), ULONG{MODEM_STATUS_CTS});                      // status byte 0x01
}

TEST_F(StatusTest, AllLinesAtOnceRaiseAllFourEventsTogether) {
    Start();
    EXPECT_EQ(LinesChangeTo(Lines(true, true, true, true)), 0x0138u);
    EXPECT_EQ(ModemStatus(), 0xF0u);
}

TEST_F(StatusTest, UnchangedLinesRaiseNothing) {
    Start();
    EXPECT_NE(LinesChangeTo(Lines(false, false, true)), 0u);
    EXPECT_EQ(LinesChangeTo(Lines(false, false, true)), 0u);
    EXPECT_EQ(ModemStatus(), ULONG{MODEM_STATUS_DCD});
}

// Break, overrun and error bits of the status byte change no modem line.
TEST_F(StatusTest, UpperStatusBitsHaveNoEffect) {
    Start();
    SetWaitMask(kModemEvents);
    Request wait;
    Control(wait, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4);
    peer.SetBreak(true);
    RunFor(100 * kMs);
    peer.SetBreak(false);
    RunFor(100 * kMs);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(ModemStatus(), 0u);
    SetWaitMask(0);
}

TEST_F(StatusTest, DefaultPollPeriodReadsEveryTenMillisecondsPlusTheReadsOwnTime) {
    Start();
    RunFor(1000 * kMs);
    std::vector<k::VirtualTime> gaps = StatusReadGaps(100 * kMs);
    ASSERT_GT(gaps.size(), 50u);
    for (k::VirtualTime gap : gaps) {
        EXPECT_GE(gap, 10 * kMs);
        EXPECT_LE(gap, 13 * kMs);
    }
}

TEST_F(StatusTest, PollPeriodZeroReadsBackToBack) {
    Start(Settings({{"CtlPollPeriod", 0}}));
    RunFor(200 * kMs);
    std::vector<k::VirtualTime> gaps = StatusReadGaps(100 * kMs);
    ASSERT_GT(gaps.size(), 20u);
    for (k::VirtualTime gap : gaps) EXPECT_LE(gap, 3 * kMs);
}

TEST_F(StatusTest, NoStatusPipeMeansCtsDsrAndDcdOnAndNoPolling) {
    Start(Settings({{"EndPointCaps", 0}}));
    peer.SetLines(Lines(false, false, false, true));
    RunFor(200 * kMs);
    EXPECT_EQ(ModemStatus(), 0xB0u);
    EXPECT_TRUE(Adapter().statusPackets.empty());
    Close();
    Open();
    EXPECT_EQ(ModemStatus(), 0xB0u);
    EXPECT_TRUE(Adapter().statusPackets.empty());
}

TEST_F(StatusTest, ClosingThePortStopsPolling) {
    Start();
    RunFor(100 * kMs);
    EXPECT_FALSE(Adapter().statusPackets.empty());
    Close();
    k::VirtualTime closed = Now();
    RunFor(200 * kMs);
    std::size_t after = 0;
    for (const auto& p : Adapter().statusPackets) after += p.at > closed;
    EXPECT_EQ(after, 0u);
    EXPECT_TRUE(ext->StatusStopped);
}

// Under the sequential policy (seed 0) and eight seeds of the random one.
class StatusSeedTest : public StatusTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    StackOptions Options(std::map<std::string, ULONG> settings) {
        StackOptions options = GetParam() ? RandomPolicy(GetParam()) : StackOptions{};
        options.settings = std::move(settings);
        return options;
    }
};

// The single status read of the open goes to the status pipe: with polling far off, the lines the
// device reports are there at once.
TEST_P(StatusSeedTest, TheOpenReadsTheLinesOnceFromTheStatusPipe) {
    StackOptions options = Options({{"EndPointCaps", 1}, {"CtlPollPeriod", 100000}});
    options.open = false;
    Start(options);
    peer.SetLines(Lines(true, true));
    RunFor(10 * kMs);
    const k::VirtualTime before = Now();
    Open();
    EXPECT_LT(Now() - before, 100 * kMs) << "the status read did not find its answer";
    EXPECT_EQ(ModemStatus(), ULONG{MODEM_STATUS_CTS | MODEM_STATUS_DSR});
    EXPECT_EQ(Adapter().statusPackets.size(), 1u);
    EXPECT_TRUE(Adapter().inPackets.empty());
}

// An open that fails for lack of memory, wherever it fails, leaves status polling for the next open:
// the modem lines are read from the device again, not fixed at CTS, DSR and DCD on.
TEST_P(StatusSeedTest, AnOpenThatFailedForLackOfMemoryLeavesStatusPollingToTheNext) {
    StackOptions options = Options({{"EndPointCaps", 1}});
    options.open = false;
    Start(options);
    peer.SetLines(Lines(false, true));
    unsigned failedOpens = 0;
    for (k::FaultSite site : {k::FaultSite::Irp, k::FaultSite::Pool}) {
        for (unsigned n = 1;; n++) {
            SCOPED_TRACE(::testing::Message() << "site " << int(site) << ", allocation " << n);
            const auto injected = k::FaultsInjected();
            k::FailNth(site, n);
            HANDLE h = u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
            const bool hit = k::FaultsInjected() > injected;
            k::ClearFaults();
            if (h != INVALID_HANDLE_VALUE) {
                u::CloseHandle(h);
            } else {
                failedOpens++;
            }
            Open();
            RunFor(30 * kMs);
            EXPECT_EQ(ModemStatus(), ULONG{MODEM_STATUS_DSR});
            Close();
            if (!hit) break;
        }
    }
    EXPECT_GT(failedOpens, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, StatusSeedTest, ::testing::Range<std::uint64_t>(0, 9));

}  // namespace
}  // namespace porttest
