// A Windows application's life with the port, through the application side only, on the whole stack
// installed from the INF, for every line-settings protocol variant (EndPointCaps) and both
// transmitters: find the port, open it, set it up, read and wait for events with overlapped requests,
// write, purge, close.
#include "system_fixture.h"

#include <ntddser.h>

#include <tuple>

namespace systemtest {
namespace {

struct Variant {
    ULONG endPointCaps;
    bool txAsync;
};

class ApplicationFlow : public SystemTest, public ::testing::WithParamInterface<std::tuple<ULONG, bool>> {
protected:
    Variant V() const { return {std::get<0>(GetParam()), std::get<1>(GetParam())}; }

    m::Adapter& PlugScripted() {
        Boot();
        m::AdapterOptions options;
        options.farSideKind = m::FarSideKind::Scripted;
        options.settings = {m::DwordValue("EndPointCaps", V().endPointCaps), m::DwordValue("TxAsync", V().txAsync)};
        m::Adapter& adapter = machine->Plug(options);
        EXPECT_TRUE(adapter.Started()) << m::StatusName(adapter.InstallStatus());
        return adapter;
    }
};

TEST_P(ApplicationFlow, EnumerateOpenConfigureExchangePurgeClose) {
    m::Adapter& adapter = PlugScripted();
    usb::ScriptedPeer& peer = adapter.Peer();
    peer.SetLines({.cts = true, .dsr = true, .dcd = false, .ri = false});

    // Enumerate: the one port, published and with its interface.
    const auto ports = u::EnumerateComPorts();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].name, "COM3");
    EXPECT_EQ(ports[0].device, "\\Device\\tarvelport0");
    EXPECT_EQ(ports[0].instancePath, adapter.InstancePath());
    ASSERT_FALSE(ports[0].interfacePath.empty());

    // Open through the interface first (as a SetupDi-style application does), then by name.
    HANDLE viaInterface = u::CreateFileA(ports[0].interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(viaInterface, INVALID_HANDLE_VALUE) << u::GetLastError();
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE) << "one open at a time";
    EXPECT_EQ(u::GetLastError(), ERROR_ACCESS_DENIED);
    u::CloseHandle(viaInterface);
    HANDLE port = Open(ports[0].name);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    // Set up: 9600 8N1 (every variant carries it), timeouts that return with the first bytes, events.
    ASSERT_TRUE(SetLine(port, 9600)) << u::GetLastError();
    const auto& line = adapter.Model().Line().Settings();
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.stopBits, 1);
    u::COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 1000, 0, 0};
    ASSERT_TRUE(u::SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(u::SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));

    // Overlapped read and event wait, both in flight until the far end speaks.
    Pending wait, read;
    DWORD events = 0;
    std::vector<std::uint8_t> in(64);
    EXPECT_PENDING(u::WaitCommEvent(port, &events, &wait.ov));
    EXPECT_PENDING(u::ReadFile(port, in.data(), static_cast<DWORD>(in.size()), nullptr, &read.ov));
    RunFor(20 * kMs);
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(wait.Done());
    const auto hello = Bytes("hello from the far end");
    peer.Send(hello);
    ASSERT_TRUE(read.Wait(port)) << u::GetLastError();
    ASSERT_TRUE(wait.Wait(port)) << u::GetLastError();
    EXPECT_EQ(events & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
    ASSERT_GT(read.bytes, 0u);
    std::vector<std::uint8_t> got(in.begin(), in.begin() + read.bytes);
    while (got.size() < hello.size()) { // mode 2 returns with what is there: read the rest
        Pending more;
        ASSERT_ISSUED(u::ReadFile(port, in.data(), static_cast<DWORD>(in.size()), nullptr, &more.ov));
        ASSERT_TRUE(more.Wait(port));
        ASSERT_GT(more.bytes, 0u) << "the rest of the greeting did not come";
        got.insert(got.end(), in.begin(), in.begin() + more.bytes);
    }
    EXPECT_EQ(got, hello);

    // Write; the far end gets every byte and the port reports an empty transmitter.
    const auto reply = Bytes("written by the application, 40 bytes...");
    Pending write;
    ASSERT_ISSUED(u::WriteFile(port, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &write.ov));
    ASSERT_TRUE(write.Wait(port)) << u::GetLastError();
    EXPECT_EQ(write.bytes, reply.size());
    RunFor(100 * kMs); // 40 bytes at 9600 baud take 42 ms
    EXPECT_EQ(peer.ReceivedBytes(), reply);
    Pending txEmpty;
    ASSERT_ISSUED(u::WaitCommEvent(port, &events, &txEmpty.ov));
    ASSERT_TRUE(txEmpty.Wait(port));
    EXPECT_EQ(events & EV_TXEMPTY, static_cast<DWORD>(EV_TXEMPTY));

    // Statistics tell the transmitters apart: only the buffered one counts what it sent.
    SERIALPERF_STATS stats{};
    Pending statsRequest;
    ASSERT_ISSUED(u::DeviceIoControl(port, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, nullptr, &statsRequest.ov));
    ASSERT_TRUE(statsRequest.Wait(port));
    EXPECT_EQ(stats.TransmittedCount, V().txAsync ? reply.size() : 0u);
    EXPECT_EQ(stats.ReceivedCount, hello.size());

    // Modem lines: from the status pipe, or CTS, DSR and DCD on when the variant has none.
    DWORD modem = 0;
    ASSERT_TRUE(u::GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem, V().endPointCaps == 0 ? DWORD{MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON} : DWORD{MS_CTS_ON | MS_DSR_ON});

    // Purge: bytes waiting in the port go, a read waiting for more is aborted.
    peer.Send(Bytes("unread"));
    RunFor(50 * kMs);
    u::COMSTAT stat{};
    ASSERT_TRUE(u::ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 6u);
    u::COMMTIMEOUTS forever{0, 0, 0, 0, 0};
    ASSERT_TRUE(u::SetCommTimeouts(port, &forever));
    Pending waiting;
    EXPECT_PENDING(u::ReadFile(port, in.data(), 32, nullptr, &waiting.ov));
    ASSERT_TRUE(u::PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_FALSE(waiting.Wait(port));
    EXPECT_EQ(u::GetLastError(), ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(u::ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);

    // Close: the port switches the adapter off and can be opened again.
    Close(port);
    EXPECT_FALSE(adapter.Model().Line().Enabled());
    HANDLE again = Open("COM3");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
}

TEST_P(ApplicationFlow, LineSettingsTheVariantCannotCarryAreRefusedAndTheOldOnesStay) {
    m::Adapter& adapter = PlugScripted();
    HANDLE port = Open("COM3");
    ASSERT_TRUE(SetLine(port, 19200, "e,7,2"));
    // 76800 is on the port driver's list, but only variant 3 can tell the adapter.
    const bool carried = SetLine(port, 76800);
    EXPECT_EQ(carried, V().endPointCaps == 3 || V().endPointCaps == 0) << "error " << u::GetLastError();
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, carried ? 76800u : 19200u) << "a refused state is put back";
    if (V().endPointCaps != 0) {
        EXPECT_EQ(adapter.Model().Line().Settings().baud, carried ? 76800u : 19200u);
    }
}

std::string VariantName(const ::testing::TestParamInfo<std::tuple<ULONG, bool>>& info) {
    return "EndPointCaps" + std::to_string(std::get<0>(info.param)) + (std::get<1>(info.param) ? "Buffered" : "Direct");
}

INSTANTIATE_TEST_SUITE_P(Variants, ApplicationFlow, ::testing::Combine(::testing::Values(0u, 1u, 2u, 3u), ::testing::Bool()),
                         VariantName);

} // namespace
} // namespace systemtest
