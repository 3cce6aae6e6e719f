// An application's port against a device that refuses data, and through a PnP rebalance, on the whole
// stack installed from the INF with a loopback plug, for both transmitters, under the sequential policy
// (seed 0) and eight seeds of the random one: purge and close return at once and tell the truth about
// every write; a rebalance with the port open is only a pause for the handle that holds it.
#include "system_fixture.h"

#include <ntddser.h>

#include <tuple>

namespace systemtest {
namespace {

using Data = std::vector<std::uint8_t>;

Data Pattern(std::size_t n, std::size_t first) {
    Data bytes(n);
    for (std::size_t i = 0; i < n; i++) bytes[i] = static_cast<std::uint8_t>((first + i) * 13 + ((first + i) >> 8));
    return bytes;
}

class PauseAndAbort : public SystemTest, public ::testing::WithParamInterface<std::tuple<bool, std::uint64_t>> {
protected:
    m::Adapter& PlugLoopback() {
        m::MachineOptions options;
        if (const std::uint64_t seed = std::get<1>(GetParam())) {
            options.boot.policy = k::Policy::Random;
            options.boot.seed = seed;
        }
        Boot(std::move(options));
        m::AdapterOptions adapter;
        adapter.settings = {m::DwordValue("TxAsync", std::get<0>(GetParam()) ? 1 : 0)};
        m::Adapter& a = machine->Plug(adapter);
        EXPECT_TRUE(a.Started()) << m::StatusName(a.InstallStatus());
        return a;
    }
    static void Refuse(m::Adapter& adapter, bool on) { adapter.Model().NakForever(usb::SerialAdapter::kBulkOut, on); }

    // Reads exactly n bytes (the timeouts are 0, 0, 0: a read waits until its buffer is full).
    static Data ReadExactly(HANDLE port, std::size_t n) {
        if (n == 0) return {};
        Data got(n);
        Pending read;
        if (!u::ReadFile(port, got.data(), static_cast<DWORD>(n), nullptr, &read.ov)) {
            EXPECT_EQ(u::GetLastError(), ERROR_IO_PENDING);
        }
        EXPECT_TRUE(read.Wait(port)) << u::GetLastError();
        got.resize(read.bytes);
        return got;
    }
    static void WaitForever(HANDLE port) {
        u::COMMTIMEOUTS forever{0, 0, 0, 0, 0};
        ASSERT_TRUE(u::SetCommTimeouts(port, &forever));
    }

    // Three writes of 5000 bytes each: more than either transmitter takes at once.
    void WriteThree(HANDLE port, std::size_t first) {
        for (std::size_t i = 0; i < 3; i++) {
            data[i] = Pattern(5000, first + 5000 * i);
            EXPECT_PENDING(u::WriteFile(port, data[i].data(), static_cast<DWORD>(data[i].size()), nullptr, &writes[i].ov));
        }
        RunFor(5 * kMs);
        for (auto& w : writes) ASSERT_FALSE(w.Done());
    }
    // Every write ended cancelled; returns the bytes they say went out, in order.
    Data CancelledWritesSent() {
        Data sent;
        for (std::size_t i = 0; i < 3; i++) {
            EXPECT_EQ(static_cast<NTSTATUS>(writes[i].ov.Internal), STATUS_CANCELLED) << "write " << i;
            const std::size_t n = writes[i].ov.InternalHigh;
            EXPECT_LE(n, data[i].size());
            sent.insert(sent.end(), data[i].begin(), data[i].begin() + std::min(n, data[i].size()));
        }
        return sent;
    }

    Pending writes[3];
    Data data[3];
};

TEST_P(PauseAndAbort, PurgeAndCloseWithThreeWritesPendingOnARefusingDeviceReturnAtOnceAndTellTheTruth) {
    m::Adapter& adapter = PlugLoopback();
    HANDLE port = Open("COM3");
    ASSERT_TRUE(SetLine(port, 115200));
    WaitForever(port);

    // PurgeComm(PURGE_TXABORT).
    Refuse(adapter, true);
    WriteThree(port, 0);
    k::VirtualTime start = k::Now();
    ASSERT_TRUE(u::PurgeComm(port, PURGE_TXABORT));
    EXPECT_LE(k::Now() - start, 100 * kMs);
    for (auto& w : writes) {
        EXPECT_FALSE(w.Wait(port));
        EXPECT_EQ(u::GetLastError(), ERROR_OPERATION_ABORTED);
    }
    Data sent = CancelledWritesSent();
    // What the writes say went out (or stays buffered to go out) comes back through the plug, and
    // nothing else.
    Refuse(adapter, false);
    EXPECT_TRUE(ReadExactly(port, sent.size()) == sent);
    RunFor(500 * kMs);
    u::COMSTAT stat{};
    ASSERT_TRUE(u::ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);

    // CloseHandle.
    Refuse(adapter, true);
    WriteThree(port, 20000);
    start = k::Now();
    Close(port);
    EXPECT_LE(k::Now() - start, 100 * kMs);
    sent = CancelledWritesSent();
    EXPECT_TRUE(sent.empty()) << "the refusing device took nothing";

    // The port opens again and works; nothing of the cancelled writes turns up.
    Refuse(adapter, false);
    port = Open("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetLine(port, 115200));
    WaitForever(port);
    const Data hello = Pattern(100, 77777);
    Pending write;
    ASSERT_ISSUED(u::WriteFile(port, hello.data(), static_cast<DWORD>(hello.size()), nullptr, &write.ov));
    ASSERT_TRUE(write.Wait(port));
    EXPECT_EQ(write.bytes, hello.size());
    EXPECT_TRUE(ReadExactly(port, hello.size()) == hello);
}

TEST_P(PauseAndAbort, ARebalanceWithThePortOpenAndAReadPendingIsOnlyAPause) {
    m::Adapter& adapter = PlugLoopback();
    HANDLE port = Open("COM3");
    ASSERT_TRUE(SetLine(port, 115200));
    WaitForever(port);
    Data first(16);
    Pending read;
    EXPECT_PENDING(u::ReadFile(port, first.data(), static_cast<DWORD>(first.size()), nullptr, &read.ov));
    RunFor(10 * kMs);

    ASSERT_EQ(tarvel::pnp::Rebalance(adapter.Node()), STATUS_SUCCESS);
    EXPECT_FALSE(read.Done()) << "the read waits through the pause";

    // 4 KiB through the loopback on the same handle: the pending read takes the first 16 bytes, a
    // second read (queued behind it, so that the port always has a reader) the rest.
    const Data out = Pattern(4096, 0);
    Data rest(out.size() - first.size());
    Pending restRead, write;
    EXPECT_PENDING(u::ReadFile(port, rest.data(), static_cast<DWORD>(rest.size()), nullptr, &restRead.ov));
    ASSERT_ISSUED(u::WriteFile(port, out.data(), static_cast<DWORD>(out.size()), nullptr, &write.ov));
    ASSERT_TRUE(write.Wait(port)) << u::GetLastError();
    EXPECT_EQ(write.bytes, out.size());
    ASSERT_TRUE(read.Wait(port)) << u::GetLastError();
    ASSERT_EQ(read.bytes, first.size());
    ASSERT_TRUE(restRead.Wait(port)) << u::GetLastError();
    ASSERT_EQ(restRead.bytes, rest.size());
    Data back = first;
    back.insert(back.end(), rest.begin(), rest.end());
    EXPECT_TRUE(back == out);
    DWORD modem = 0;
    ASSERT_TRUE(u::GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem & (MS_CTS_ON | MS_DSR_ON), DWORD{MS_CTS_ON | MS_DSR_ON}) << "the plug loops RTS and DTR back";
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<bool, std::uint64_t>>& info) {
    const std::uint64_t seed = std::get<1>(info.param);
    return std::string(std::get<0>(info.param) ? "Buffered" : "Direct") +
           (seed ? "Seed" + std::to_string(seed) : "Sequential");
}

INSTANTIATE_TEST_SUITE_P(Transmitters, PauseAndAbort,
                         ::testing::Combine(::testing::Bool(), ::testing::Range<std::uint64_t>(0, 9)), CaseName);

} // namespace
} // namespace systemtest
