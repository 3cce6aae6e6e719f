// The fast device: the adapter's interface and vendor commands without a UART, bulk endpoints that
// keep up with any rate, and a sequence far side that shows any loss or reordering.
#include <gtest/gtest.h>

#include "manual_clock.h"
#include "usb/hc/host_controller.h"
#include "usb/serial/sequence_stream.h"
#include "usb/serial/serial_adapter.h"

namespace tarvel::usb::test {
namespace {

void Configure(DeviceModel& device) {
    ASSERT_EQ(device.Control(SetupPacket{0x00, kStdSetConfiguration, 1, 0, 0}, {}).handshake, Handshake::Ack);
}

Handshake Vendor(DeviceModel& device, std::vector<std::uint8_t> payload, std::uint8_t requestType = 0x40) {
    SetupPacket setup{requestType, VendorCommands::kRequest, 0, 0, static_cast<std::uint16_t>(payload.size())};
    return device.Control(setup, payload).handshake;
}

// The same command set as the adapter's, decoded by the same code: every command the port driver
// sends and every malformed one get the same answer and leave the same settings.
TEST(FastDevice, AnswersEveryVendorCommandAsTheAdapterDoes) {
    ManualClock clock;
    SerialAdapter adapter(clock);
    FastDevice fast(clock);
    Configure(adapter);
    Configure(fast);
    const std::vector<std::vector<std::uint8_t>> commands = {
        {3, 1}, {0, 0x47}, {0, 8, 0x11}, {1, 0x03}, {2, 0x11, 0x13}, {4, 1, '?'}, {4, 0, 0},
        {0, 0x33}, {0, 9, 0}, {0, 1, 0x40}, {1, 0x08}, {3, 2}, {7}, {}, {2, 1}, {0, 1, 2, 3}};
    for (const auto& c : commands) {
        EXPECT_EQ(Vendor(fast, c), Vendor(adapter, c)) << c.size();
        EXPECT_EQ(fast.Settings(), adapter.Line().Settings()) << c.size();
    }
    EXPECT_EQ(Vendor(fast, {3, 1}, 0xC0), Handshake::Stall);  // device-to-host is no command
    EXPECT_EQ(fast.Commands().Accepted(), adapter.AcceptedCommands());
    EXPECT_EQ(fast.Commands().Rejected(), adapter.RejectedCommands() + 1);
    EXPECT_EQ(fast.Commands().ModemControl(), adapter.ModemControl());
    EXPECT_TRUE(fast.Enabled());
    EXPECT_EQ(fast.Blueprint().interfaces[0].endpoints.size(), 3u);
    EXPECT_EQ(BuildConfigurationDescriptor(fast.Blueprint()).size(), BuildConfigurationDescriptor(adapter.Blueprint()).size());

    fast.BusReset();  // as the adapter: the port off, default line
    EXPECT_FALSE(fast.Enabled());
    EXPECT_EQ(fast.Settings(), LineSettings{});
}

TEST(FastDevice, OffItNaksAndDropsOnItTakesEveryPacketAndHasOneReadyWhileTheFarSideProduces) {
    ManualClock clock;
    FastDevice fast(clock, {.speed = Speed::High});
    SequenceStream stream(fast);
    Configure(fast);
    std::vector<std::uint8_t> wire(512 + HostController::kWireSlack);
    stream.ProduceForHost(std::nullopt);
    EXPECT_EQ(fast.In(FastDevice::kBulkIn, wire, 512).handshake, Handshake::Nak) << "port off";
    std::vector<std::uint8_t> packet(512);
    for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = SequenceByte(i);
    EXPECT_EQ(fast.Out(FastDevice::kBulkOut, packet), Handshake::Ack);
    EXPECT_EQ(stream.Consumed(), 0u) << "dropped while off";

    ASSERT_EQ(Vendor(fast, {3, 1}), Handshake::Ack);
    for (int round = 0; round < 3; ++round) {
        const Outcome o = fast.In(FastDevice::kBulkIn, wire, 512);
        ASSERT_EQ(o.handshake, Handshake::Ack);
        ASSERT_EQ(o.length, 512u);
        for (std::size_t i = 0; i < 512; ++i) ASSERT_EQ(wire[i], SequenceByte(round * 512 + i));
        EXPECT_EQ(fast.Out(FastDevice::kBulkOut, std::span(packet).subspan(round * 100, 100)), Handshake::Ack);
    }
    EXPECT_EQ(stream.Consumed(), 300u);
    EXPECT_EQ(stream.OutOfOrder(), 0u);
    EXPECT_EQ(fast.Out(FastDevice::kBulkOut, std::span(packet).first(5)), Handshake::Ack);  // a repeat
    EXPECT_EQ(stream.OutOfOrder(), 5u);

    stream.ProduceForHost(700);  // a budget: a full packet, then the rest short, then nothing
    EXPECT_EQ(fast.In(FastDevice::kBulkIn, wire, 512).length, 512u);
    EXPECT_EQ(fast.In(FastDevice::kBulkIn, wire, 512).length, 188u);
    EXPECT_EQ(fast.In(FastDevice::kBulkIn, wire, 512).handshake, Handshake::Nak);
    EXPECT_EQ(stream.Produced(), 3 * 512u + 700u);

    const Outcome status = fast.In(FastDevice::kStatusIn, wire, 16);
    EXPECT_EQ(status.length, 1u);
    EXPECT_EQ(wire[0], FastDevice::kLinesUp);
}

// Behind the host controller the fast device fills every bulk slot, both ways at once.
TEST(FastDevice, KeepsTheBusBudgetFullInBothDirections) {
    for (Speed speed : {Speed::Full, Speed::High}) {
        ManualClock clock;
        FastDevice fast(clock, {.speed = speed});
        SequenceStream stream(fast);
        Configure(fast);
        ASSERT_EQ(Vendor(fast, {3, 1}), Handshake::Ack);
        stream.ProduceForHost(std::nullopt);
        HostController hc(fast, clock);
        std::vector<HostController::Pipe*> pipes;
        for (const auto& e : fast.Blueprint().interfaces[0].endpoints) pipes.push_back(hc.AddPipe(e));
        std::vector<std::uint8_t> out(4096), in(4096);
        std::uint64_t sent = 0;
        auto fill = [&] {
            for (std::size_t i = 0; i < out.size(); ++i) out[i] = SequenceByte(sent + i);
            sent += out.size();
        };
        Transfer write, read;
        write.type = read.type = EndpointType::Bulk;
        write.endpoint = FastDevice::kBulkOut, write.buffer = out.data(), write.length = 4096;
        read.endpoint = FastDevice::kBulkIn, read.in = true, read.shortOk = true, read.buffer = in.data(), read.length = 4096;
        fill();
        hc.Submit(pipes[0], &write);
        hc.Submit(pipes[1], &read);
        std::uint64_t received = 0;
        while (auto due = hc.NextDue()) {
            if (*due > kSec / 10) break;
            clock.now = *due;
            for (Transfer* t : hc.RunFrame()) {
                ASSERT_EQ(t->status, usbd::kSuccess);
                if (t == &read) {
                    for (std::uint32_t i = 0; i < t->actual; ++i) ASSERT_EQ(in[i], SequenceByte(received + i));
                    received += t->actual;
                } else {
                    fill();
                }
                hc.Submit(t == &read ? pipes[1] : pipes[0], t);
            }
        }
        const double budget = speed == Speed::High ? 53'248'000.0 : 1'216'000.0;
        EXPECT_NEAR(static_cast<double>(stream.Consumed() + stream.Produced()) * 10, budget, budget * 0.01);
        EXPECT_EQ(stream.OutOfOrder(), 0u);
        EXPECT_NEAR(static_cast<double>(stream.Consumed()), static_cast<double>(stream.Produced()), budget / 10 * 0.01)
            << "round-robin shares the slots";
    }
}

}  // namespace
}  // namespace tarvel::usb::test
