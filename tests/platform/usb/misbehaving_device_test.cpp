// Faults a device model can be switched to: packets longer or shorter than asked for, a device that
// leaves the bus after a number of packets, random misbehaviour that replays from its seed, and
// configuration descriptors that lie about themselves.
#include <gtest/gtest.h>

#include <string>

#include "manual_clock.h"
#include "usb/descriptors/descriptor_parse.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

struct Adapter : ::testing::Test {
    ManualClock clock;
    SerialAdapter adapter{clock};
    ScriptedPeer peer;

    void SetUp() override {
        adapter.Connect(&peer);
        ASSERT_EQ(adapter.Control(SetupPacket{0x00, kStdSetConfiguration, 1, 0, 0}, {}).handshake, Handshake::Ack);
        std::vector<std::uint8_t> enable{SerialAdapter::kPortEnable, 1}, line{SerialAdapter::kLineSettings, 0x07};
        ASSERT_EQ(adapter.Control(SetupPacket{0x40, SerialAdapter::kVendorRequest, 0, 0, 2}, enable).handshake, Handshake::Ack);
        ASSERT_EQ(adapter.Control(SetupPacket{0x40, SerialAdapter::kVendorRequest, 0, 0, 2}, line).handshake, Handshake::Ack);
    }
    void Arrive(const std::string& text) {
        peer.Send(text);
        clock.now += 10 * kMs;
    }
    std::string Read(std::uint32_t asked = 64) {
        std::vector<std::uint8_t> wire(asked + 64);
        const Outcome o = adapter.In(SerialAdapter::kBulkIn, wire, asked);
        if (o.handshake != Handshake::Ack) return "<" + std::to_string(static_cast<int>(o.handshake)) + ">";
        return std::string(wire.begin(), wire.begin() + std::min<std::size_t>(o.length, wire.size()));
    }
};

TEST_F(Adapter, ShortAndZeroLengthPacketsKeepWhatTheyDidNotSend) {
    Arrive("hello world");
    adapter.ShortIn(SerialAdapter::kBulkIn, 4);
    adapter.ShortIn(SerialAdapter::kBulkIn, 0);
    EXPECT_EQ(Read(), "hell");
    EXPECT_EQ(Read(), "");  // a zero-length packet, though the device holds data
    EXPECT_EQ(Read(), "o world");
    EXPECT_EQ(adapter.Misbehaviours(), 2u);
    // A limit the answer stays under anyway changes nothing and stays for the next answer.
    adapter.ShortIn(SerialAdapter::kBulkIn, 10);
    Arrive("abc");
    EXPECT_EQ(Read(), "abc");
    Arrive("0123456789abcdef");
    EXPECT_EQ(Read(), "0123456789");
    EXPECT_EQ(Read(), "abcdef");
}

TEST_F(Adapter, AnOversizePacketWritesItsJunkOnlyIntoTheReceiveBufferAndClaimsItAll) {
    Arrive("data");
    adapter.OversizeIn(SerialAdapter::kBulkIn, 500, 2);
    std::vector<std::uint8_t> memory(200, 0xCC);
    const std::span<std::uint8_t> wire(memory.data(), 100);
    const Outcome o = adapter.In(SerialAdapter::kBulkIn, wire, 64);
    ASSERT_EQ(o.handshake, Handshake::Ack);
    EXPECT_EQ(o.length, 504u);
    EXPECT_EQ(std::string(memory.begin(), memory.begin() + 4), "data");
    EXPECT_NE(memory[4], 0xCC);
    EXPECT_NE(memory[99], 0xCC);
    EXPECT_EQ(memory[100], 0xCC);  // past the receive buffer: untouched
    // A NAK uses nothing up: the second oversize waits for the next answer with data.
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, wire, 64).handshake, Handshake::Nak);
    Arrive("x");
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, wire, 64).length, 501u);
    Arrive("y");
    EXPECT_EQ(Read(), "y");
    EXPECT_EQ(adapter.Misbehaviours(), 2u);
}

TEST_F(Adapter, AfterTheNthPacketTheDeviceAnswersNothingUntilItIsPluggedInAgain) {
    Arrive("abcdef");
    adapter.DisconnectAfter(2, SerialAdapter::kBulkIn);
    std::uint8_t status[16];
    EXPECT_EQ(adapter.In(SerialAdapter::kStatusIn, status).handshake, Handshake::Ack);  // another endpoint: not counted
    EXPECT_EQ(Read(2), "ab");
    EXPECT_FALSE(adapter.Detached());
    EXPECT_EQ(Read(2), "cd");
    EXPECT_TRUE(adapter.Detached());
    EXPECT_EQ(adapter.In(SerialAdapter::kBulkIn, status).handshake, Handshake::Timeout);
    EXPECT_EQ(adapter.In(SerialAdapter::kStatusIn, status).handshake, Handshake::Timeout);
    const std::uint8_t out[4] = {1, 2, 3, 4};
    EXPECT_EQ(adapter.Out(SerialAdapter::kBulkOut, out), Handshake::Timeout);
    EXPECT_EQ(adapter.Control(SetupPacket{0x00, kStdSetConfiguration, 1, 0, 0}, {}).handshake, Handshake::Timeout);
    EXPECT_EQ(adapter.Line().TxRoom(), adapter.Line().TxFifoSize());  // the OUT packet never reached it

    struct NullBus : BusLink {
        void DeviceActivity() override {}
        void DeviceUnplugged() override {}
        bool DeviceRemoteWake() override { return false; }
    } bus;
    adapter.AttachBus(&bus);  // plugged in again: a new connection
    EXPECT_FALSE(adapter.Detached());
    EXPECT_EQ(Read(2), "ef");
}

TEST(RandomMisbehaviour, TheSameSeedAndTrafficGiveTheSameFaultsAndAnotherSeedOthers) {
    auto run = [](std::uint64_t seed) {
        ManualClock clock;
        SerialAdapter adapter(clock);
        ScriptedPeer peer;
        adapter.Connect(&peer);
        adapter.Control(SetupPacket{0x00, kStdSetConfiguration, 1, 0, 0}, {});
        std::vector<std::uint8_t> enable{SerialAdapter::kPortEnable, 1};
        adapter.Control(SetupPacket{0x40, SerialAdapter::kVendorRequest, 0, 0, 2}, enable);
        adapter.Misbehave(seed, MisbehaviourOdds{.oversize = 0.1, .shortPacket = 0.2, .zeroLength = 0.1, .drop = 0.005});
        std::string trace;
        std::vector<std::uint8_t> wire(200);
        for (int i = 0; i < 300 && !adapter.Detached(); ++i) {
            peer.Send("0123456789");
            clock.now += 2 * kMs;
            const std::uint8_t ep = i % 3 ? SerialAdapter::kBulkIn : SerialAdapter::kStatusIn;
            const Outcome o = adapter.In(ep, wire, ep == SerialAdapter::kBulkIn ? 64 : 1);
            trace += std::to_string(static_cast<int>(o.handshake)) + ":" + std::to_string(o.length) + " ";
        }
        return std::make_pair(trace, adapter.Misbehaviours());
    };
    const auto first = run(42), again = run(42), other = run(43);
    EXPECT_EQ(first, again);
    EXPECT_NE(first.first, other.first);
    EXPECT_GT(first.second, 20u);
}

TEST(DescriptorLies, EachStructuralLieIsADefectAndPacketSizeLiesChangeOnlyThePacketSize) {
    const DeviceBlueprint blueprint = SerialAdapter::MakeBlueprint({});
    const std::vector<std::uint8_t> truth = BuildConfigurationDescriptor(blueprint);
    struct Case {
        DescriptorLie lie;
        DefectKind defect;
    };
    for (const Case& c : {Case{DescriptorLie::TotalLengthLong, DefectKind::ConfigurationLength},
                          Case{DescriptorLie::TotalLengthShort, DefectKind::DescriptorLength},
                          Case{DescriptorLie::ZeroLength, DefectKind::DescriptorLength},
                          Case{DescriptorLie::LengthPastEnd, DefectKind::DescriptorLength},
                          Case{DescriptorLie::EndpointTooShort, DefectKind::EndpointDescriptor},
                          Case{DescriptorLie::MissingEndpoints, DefectKind::NumberOfEndpoints}}) {
        for (unsigned which = 0; which < 3; ++which) {
            const auto lying = LyingConfigurationDescriptor(blueprint, c.lie, which);
            const auto defect = ConfigurationDefect(lying);
            ASSERT_TRUE(defect) << static_cast<int>(c.lie) << " " << which;
            EXPECT_EQ(defect->kind, c.defect) << static_cast<int>(c.lie) << " " << which << ": " << defect->what;
        }
    }
    struct Size {
        DescriptorLie lie;
        std::uint16_t packet;
    };
    for (const Size& s : {Size{DescriptorLie::PacketSizeZero, 0}, Size{DescriptorLie::PacketSizeSmaller, 8},
                          Size{DescriptorLie::PacketSizeLarger, 128}}) {
        const auto lying = LyingConfigurationDescriptor(blueprint, s.lie, 1);  // bulk IN, the second endpoint
        EXPECT_FALSE(ConfigurationDefect(lying));
        ASSERT_EQ(lying.size(), truth.size());
        const std::size_t at = 9 + 9 + 7 + 4;  // its wMaxPacketSize
        EXPECT_EQ(ReadLe16(&lying[at]), s.packet);
        std::vector<std::uint8_t> rest = lying;
        rest[at] = truth[at], rest[at + 1] = truth[at + 1];
        EXPECT_EQ(rest, truth);
    }
}

}  // namespace
}  // namespace tarvel::usb::test
