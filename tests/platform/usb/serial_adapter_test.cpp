// The adapter's vendor commands, in every line-settings form, and its endpoints.
#include <gtest/gtest.h>

#include "manual_clock.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

struct AdapterFixture : ::testing::Test {
    ManualClock clock;
    SerialAdapter adapter{clock};

    void SetUp() override {
        SetupPacket set{0x00, kStdSetConfiguration, 1, 0, 0};
        ASSERT_EQ(adapter.Control(set, {}).handshake, Handshake::Ack);
    }
    Handshake Vendor(std::vector<std::uint8_t> payload, std::uint8_t requestType = 0x40, std::uint8_t request = 0x0B) {
        SetupPacket setup{requestType, request, 0, 0, static_cast<std::uint16_t>(payload.size())};
        return adapter.Control(setup, payload).handshake;
    }
};

TEST_F(AdapterFixture, TwoByteLineSettingsDecodeEveryField) {
    struct Case { std::uint8_t byte; LineSettings expected; };
    auto line = [](std::uint32_t baud, std::uint8_t data, std::uint8_t stop, Parity p, bool rts, bool xon) {
        LineSettings s;
        s.baud = baud, s.dataBits = data, s.stopBits = stop, s.parity = p, s.rtsCts = rts, s.xonXoff = xon;
        return s;
    };
    for (const Case& c : {Case{0x00, line(9600, 7, 1, Parity::None, false, false)},
                          Case{0x05, line(19200, 8, 1, Parity::None, false, false)},
                          Case{0x1A, line(38400, 7, 2, Parity::Even, false, false)},
                          Case{0x27, line(115200, 8, 1, Parity::Odd, false, false)},
                          Case{0x47, line(115200, 8, 1, Parity::None, true, false)},
                          Case{0x87, line(115200, 8, 1, Parity::None, false, true)}}) {
        EXPECT_EQ(Vendor({0, c.byte}), Handshake::Ack) << int(c.byte);
        EXPECT_EQ(adapter.Line().Settings(), c.expected) << int(c.byte);
    }
    EXPECT_EQ(Vendor({0, 0x33}), Handshake::Stall);  // even and odd at once
    EXPECT_EQ(adapter.Line().Settings().parity, Parity::None);
}

TEST_F(AdapterFixture, ThreeByteLineSettingsDecodeRateIndexAndFlags) {
    static constexpr std::uint32_t kRates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
    for (std::uint8_t i = 0; i < 9; ++i) {
        ASSERT_EQ(Vendor({0, i, 0x01}), Handshake::Ack);
        EXPECT_EQ(adapter.Line().Settings().baud, kRates[i]);
    }
    ASSERT_EQ(Vendor({0, 7, 0x02 | 0x08 | 0x10}), Handshake::Ack);
    LineSettings s = adapter.Line().Settings();
    EXPECT_EQ(s.baud, 76800u);
    EXPECT_EQ(s.dataBits, 7);
    EXPECT_EQ(s.stopBits, 2);
    EXPECT_EQ(s.parity, Parity::Odd);
    EXPECT_TRUE(s.rtsCts);
    EXPECT_FALSE(s.xonXoff);
    ASSERT_EQ(Vendor({0, 8, 0x01 | 0x04 | 0x20}), Handshake::Ack);
    s = adapter.Line().Settings();
    EXPECT_EQ(s.parity, Parity::Even);
    EXPECT_TRUE(s.xonXoff);
    EXPECT_FALSE(s.rtsCts);
    EXPECT_EQ(Vendor({0, 9, 0x01}), Handshake::Stall);
    EXPECT_EQ(Vendor({0, 4, 0x41}), Handshake::Stall);
    EXPECT_EQ(adapter.Line().Settings().baud, 115200u);
}

TEST_F(AdapterFixture, ModemControlFlowCharsPortEnableAndErrorChar) {
    // The third line-settings form's companion: form A followed by modem control, as one variant sends it.
    ASSERT_EQ(Vendor({0, 0x43}), Handshake::Ack);
    ASSERT_EQ(Vendor({1, 0x03}), Handshake::Ack);
    EXPECT_EQ(adapter.ModemControl(), 0x03);
    EXPECT_TRUE(adapter.Line().Settings().rtsCts);
    EXPECT_TRUE(adapter.Line().Outputs().dtr);
    ASSERT_EQ(Vendor({1, 0x04}), Handshake::Ack);
    EXPECT_EQ(adapter.Line().Outputs(), (OutputLines{true, false, true}));  // RTS follows the FIFO under RTS/CTS
    EXPECT_EQ(Vendor({1, 0x08}), Handshake::Stall);

    ASSERT_EQ(Vendor({2, 0x21, 0x22}), Handshake::Ack);
    EXPECT_EQ(adapter.Line().Settings().xonChar, 0x21);
    EXPECT_EQ(adapter.Line().Settings().xoffChar, 0x22);

    EXPECT_FALSE(adapter.Line().Enabled());
    ASSERT_EQ(Vendor({3, 1}), Handshake::Ack);
    EXPECT_TRUE(adapter.Line().Enabled());
    ASSERT_EQ(Vendor({3, 0}), Handshake::Ack);
    EXPECT_FALSE(adapter.Line().Enabled());
    EXPECT_EQ(Vendor({3, 2}), Handshake::Stall);

    ASSERT_EQ(Vendor({4, 1, '?'}), Handshake::Ack);
    EXPECT_TRUE(adapter.ErrorReplacement());
    EXPECT_EQ(adapter.ErrorChar(), '?');
    EXPECT_EQ(Vendor({4, 1}), Handshake::Stall);

    EXPECT_EQ(Vendor({5, 0}), Handshake::Stall);
    EXPECT_EQ(Vendor({}), Handshake::Stall);
    EXPECT_EQ(Vendor({3, 1}, 0x41), Handshake::Stall);        // interface recipient
    EXPECT_EQ(Vendor({3, 1}, 0x40, 0x0C), Handshake::Stall);  // another request
    EXPECT_EQ(adapter.AcceptedCommands().size(), 7u);
    EXPECT_EQ(adapter.RejectedCommands(), 7u);
}

TEST_F(AdapterFixture, EndpointsCarryTheLineAndTheStatusByte) {
    ScriptedPeer peer;
    adapter.Connect(&peer);
    ASSERT_EQ(Vendor({3, 1}), Handshake::Ack);
    ASSERT_EQ(Vendor({0, 0x07}), Handshake::Ack);  // 115200 8N1
    std::uint8_t room[64];
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, room).handshake, Handshake::Nak);
    peer.Send("hello");
    clock.now += kMs;
    const Outcome in = adapter.In(SerialAdapter::kBulkIn, room);
    ASSERT_EQ(in.handshake, Handshake::Ack);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(room), in.length), "hello");

    const std::vector<std::uint8_t> big(300, 'x');
    EXPECT_EQ(adapter.Out(SerialAdapter::kBulkOut, std::span(big).first(64)), Handshake::Ack);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(adapter.Out(SerialAdapter::kBulkOut, std::span(big).first(64)), Handshake::Ack);
    EXPECT_EQ(adapter.Out(SerialAdapter::kBulkOut, std::span(big).first(64)), Handshake::Nak);  // FIFO full
    clock.now += 10 * kMs;
    EXPECT_EQ(adapter.Out(SerialAdapter::kBulkOut, std::span(big).first(64)), Handshake::Ack);

    peer.SetLines(InputLines{true, true, false, false});
    std::uint8_t status[16];
    const Outcome s = adapter.In(SerialAdapter::kStatusIn, status);
    ASSERT_EQ(s.length, 1u);
    EXPECT_EQ(status[0], 0x03);
}

// The host reads several packets per transfer, which ends only at a short packet. Data that stops on
// a full packet is followed by one zero-length packet once the FIFO is empty, as adapters end their
// transfers; otherwise the host's read would hold those bytes until the line brought more.
TEST_F(AdapterFixture, DataEndingOnAFullPacketIsClosedByOneZeroLengthPacket) {
    ScriptedPeer peer;
    adapter.Connect(&peer);
    ASSERT_EQ(Vendor({3, 1}), Handshake::Ack);
    ASSERT_EQ(Vendor({0, 0x07}), Handshake::Ack);  // 115200 8N1
    std::uint8_t room[64];
    peer.Send(std::string(64, 'a'));
    clock.now += 10 * kMs;
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, room).length, 64u);
    const Outcome closing = adapter.In(SerialAdapter::kBulkIn, room);
    EXPECT_EQ(closing.handshake, Handshake::Ack) << "a zero-length packet ends the transfer";
    EXPECT_EQ(closing.length, 0u);
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, room).handshake, Handshake::Nak) << "only one";

    peer.Send(std::string(100, 'b'));  // a full packet, then a short one that ends the transfer itself
    clock.now += 10 * kMs;
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, room).length, 64u);
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, room).length, 36u);
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, room).handshake, Handshake::Nak);
}

TEST(SerialAdapterBlueprint, InterfaceListsTheEndpointsInPipeOrderAtEachSpeed) {
    for (Speed speed : {Speed::Full, Speed::High}) {
        const DeviceBlueprint blueprint = SerialAdapter::MakeBlueprint(SerialAdapterOptions{speed, true});
        ASSERT_EQ(blueprint.interfaces.size(), 1u);
        const auto& e = blueprint.interfaces[0].endpoints;
        ASSERT_EQ(e.size(), 3u);
        EXPECT_EQ(e[0].address, 0x01);
        EXPECT_EQ(e[1].address, 0x81);
        EXPECT_EQ(e[2].address, 0x82);
        EXPECT_EQ(e[2].type, EndpointType::Interrupt);
        EXPECT_EQ(e[0].maxPacketSize, speed == Speed::High ? 512 : 64);
        const auto config = BuildConfigurationDescriptor(blueprint);
        EXPECT_EQ(config[7] & 0x20, 0x20);  // remote wake-up announced
    }
}

}  // namespace
}  // namespace tarvel::usb::test
