// The adapter's UART in virtual time: byte rate, FIFO overflow, flow control, lines and errors.
#include <gtest/gtest.h>

#include "manual_clock.h"
#include "usb/serial/far_sides.h"
#include "usb/serial/uart.h"

namespace tarvel::usb::test {
namespace {

LineSettings Line(std::uint32_t baud, std::uint8_t data = 8, Parity parity = Parity::None, std::uint8_t stop = 1) {
    LineSettings s;
    s.baud = baud;
    s.dataBits = data;
    s.parity = parity;
    s.stopBits = stop;
    return s;
}

struct UartFixture : ::testing::Test {
    ManualClock clock;
    Uart uart{clock, 256, 256};

    // Keeps the transmit FIFO full and, if `drain`, empties the receive FIFO every millisecond.
    std::uint64_t Pump(VirtualTime duration, bool drain) {
        std::vector<std::uint8_t> fill(256, 0x55), sink(256);
        std::uint64_t read = 0;
        for (VirtualTime end = clock.now + duration; clock.now < end; clock.now += kMs) {
            uart.Write(std::span(fill).first(uart.TxRoom()));
            if (drain) read += uart.Read(sink);
        }
        return read;
    }
};

TEST_F(UartFixture, MovesBytesAtTheConfiguredRateWithoutDrift) {
    LoopbackPlug plug;
    uart.Connect(&plug);
    uart.SetEnabled(true);
    struct Case { LineSettings line; double bytesPerSecond; };
    for (const Case& c : {Case{Line(115200), 11520.0}, Case{Line(9600, 7, Parity::Even, 2), 9600.0 / 11},
                          Case{Line(600), 60.0}}) {
        uart.Configure(c.line);
        Pump(10 * kMs, true);  // settle
        const std::uint64_t before = uart.Counters().received;
        const std::uint64_t read = Pump(kSec, true);
        const std::uint64_t received = uart.Counters().received - before;
        EXPECT_NEAR(static_cast<double>(received), c.bytesPerSecond, 1.0) << c.line.baud;
        EXPECT_GE(read + 1, received);
        EXPECT_EQ(uart.Counters().overruns, 0u);
        uart.SetEnabled(false);
        uart.SetEnabled(true);
    }
}

TEST_F(UartFixture, UnreadReceiveFifoOverflowsAndCountsWhatWasLost) {
    LoopbackPlug plug;
    uart.Connect(&plug);
    uart.SetEnabled(true);
    uart.Configure(Line(115200));
    Pump(kSec, false);
    const UartCounters c = uart.Counters();
    EXPECT_EQ(c.received, 256u);
    EXPECT_EQ(uart.RxAvailable(), 256u);
    EXPECT_NEAR(static_cast<double>(c.overruns), 11520.0 - 256, 2.0);
    EXPECT_EQ(c.transmitted, c.received + c.overruns);
    EXPECT_EQ(uart.TakeStatusByte() & 0x10, 0x10);  // overrun reported once
    EXPECT_EQ(uart.TakeStatusByte() & 0x10, 0x00);
}

TEST_F(UartFixture, RtsCtsFlowControlHoldsTheSenderInsteadOfLosingBytes) {
    LoopbackPlug plug;  // RTS wired to CTS: the adapter holds itself
    uart.Connect(&plug);
    uart.SetEnabled(true);
    LineSettings s = Line(115200);
    s.rtsCts = true;
    uart.Configure(s);
    Pump(100 * kMs, false);
    EXPECT_EQ(uart.Counters().overruns, 0u);
    EXPECT_FALSE(uart.Outputs().rts);
    EXPECT_FALSE(uart.Inputs().cts);
    const std::uint64_t held = uart.Counters().received;
    EXPECT_GE(held, 224u);
    std::vector<std::uint8_t> sink(256);
    uart.Read(sink);  // draining raises RTS again and the line moves on
    EXPECT_TRUE(uart.Outputs().rts);
    Pump(10 * kMs, true);
    EXPECT_GT(uart.Counters().received, held + 100);
    EXPECT_EQ(uart.Counters().overruns, 0u);
}

TEST_F(UartFixture, ScriptedPeerSeesBytesAtTheirTimesAndDrivesTheStatusLines) {
    ScriptedPeer peer;
    uart.Connect(&peer);
    uart.SetEnabled(true);
    uart.Configure(Line(9600));  // 10 bits: 1041.67 us a byte
    clock.now = 5 * kMs;
    const std::uint8_t out[] = {'a', 'b', 'c'};
    uart.Write(out);
    clock.now = 10 * kMs;
    const auto& arrivals = peer.Arrivals();
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_EQ(arrivals[0].at, 5 * kMs + 10417);  // rounded up to whole 100 ns
    EXPECT_EQ(arrivals[2].at, 5 * kMs + 31250);
    EXPECT_EQ(peer.ReceivedBytes(), (std::vector<std::uint8_t>{'a', 'b', 'c'}));

    peer.Send("xy");
    clock.now += 1 * kMs;  // one byte time is not over yet for the second byte
    EXPECT_EQ(uart.RxAvailable(), 0u);
    clock.now += 2 * kMs;
    EXPECT_EQ(uart.RxAvailable(), 2u);

    peer.SetLines(InputLines{true, false, true, true});
    EXPECT_EQ(uart.TakeStatusByte(), 0x01 | 0x04 | 0x08);
    peer.SetLines(InputLines{false, true, false, false});
    EXPECT_EQ(uart.TakeStatusByte(), 0x02);

    uart.SetModemControl(true, true, false);
    ASSERT_FALSE(peer.LineChanges().empty());
    EXPECT_EQ(peer.LineChanges().back().lines, (OutputLines{true, true, false}));
}

TEST_F(UartFixture, XonXoffPausesBothDirections) {
    ScriptedPeer peer;
    uart.Connect(&peer);
    uart.SetEnabled(true);
    LineSettings s = Line(115200);
    s.xonXoff = true;
    uart.Configure(s);
    // The peer's XOFF holds the adapter's transmitter; XON releases it. Neither lands in the FIFO.
    const std::uint8_t xoff[] = {0x13};
    peer.Send(xoff);
    clock.now += kMs;
    const std::vector<std::uint8_t> data(20, 'd');
    uart.Write(data);
    clock.now += 10 * kMs;
    EXPECT_TRUE(peer.ReceivedBytes().empty());
    const std::uint8_t xon[] = {0x11};
    peer.Send(xon);
    clock.now += 10 * kMs;
    EXPECT_EQ(peer.ReceivedBytes().size(), 20u);
    EXPECT_EQ(uart.RxAvailable(), 0u);
    // A nearly full receive FIFO sends XOFF, which the peer obeys; draining it sends XON.
    peer.ClearReceived();
    peer.Send(std::vector<std::uint8_t>(400, 'p'));
    clock.now += 100 * kMs;
    EXPECT_EQ(uart.Counters().overruns, 0u);
    EXPECT_EQ(peer.ReceivedBytes(), std::vector<std::uint8_t>{0x13});
    std::vector<std::uint8_t> sink(256);
    uart.Read(sink);
    clock.now += 100 * kMs;
    EXPECT_EQ(peer.ReceivedBytes(), (std::vector<std::uint8_t>{0x13, 0x11}));
    EXPECT_EQ(uart.Counters().received, 400u);
}

TEST_F(UartFixture, ParityErrorsAreReplacedWhenAskedAndReportedInTheStatusByte) {
    ScriptedPeer peer;
    uart.Connect(&peer);
    uart.SetEnabled(true);
    uart.Configure(Line(115200, 8, Parity::Even));
    const std::uint8_t bad[] = {'q'};
    peer.SendWithParityError(bad);
    clock.now += kMs;
    uart.SetErrorReplacement(true, '?');
    peer.SendWithParityError(bad);
    clock.now += kMs;
    std::uint8_t got[2] = {};
    ASSERT_EQ(uart.Read(got), 2u);
    EXPECT_EQ(got[0], 'q');
    EXPECT_EQ(got[1], '?');
    EXPECT_EQ(uart.TakeStatusByte() & 0x20, 0x20);
    EXPECT_EQ(uart.Counters().errors, 2u);
}

TEST_F(UartFixture, DisabledPortDropsTrafficAndEmptiesItsFifos) {
    ScriptedPeer peer;
    uart.Connect(&peer);
    peer.Send("lost");
    clock.now += 10 * kMs;
    EXPECT_EQ(uart.RxAvailable(), 0u);
    uart.SetEnabled(true);
    peer.Send("kept");
    clock.now += 10 * kMs;
    EXPECT_EQ(uart.RxAvailable(), 4u);
    uart.SetEnabled(false);
    EXPECT_EQ(uart.RxAvailable(), 0u);
}

}  // namespace
}  // namespace tarvel::usb::test
