// The baud rate and the line control set from two application threads at once: each request encodes
// the whole line-settings record from the port's settings and sends it. Without the two taking turns,
// one request can encode the other's old value and send its record last, and the device keeps a
// setting that the application changed (the port reports the new one). Under eight seeds of random.
#include "serial_stack.h"

#include <atomic>

namespace porttest {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SettingsRaceTest : public SerialStackTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    void Set(const char* thread, ULONG code, std::vector<std::uint8_t> value, std::atomic<int>& done) {
        k::StartThread(thread, [this, code, value = std::move(value), &done] {
            EXPECT_EQ(ControlNow(code, value.data(), value.size()), STATUS_SUCCESS) << std::hex << code;
            ++done;
        });
    }
    Bytes LastLineSettings() {
        const auto& commands = Adapter().AcceptedCommands();
        for (auto it = commands.rbegin(); it != commands.rend(); ++it)
            if (!it->empty() && (*it)[0] == VCMD_LINE_SETTINGS) return *it;
        return {};
    }
};

TEST_P(SettingsRaceTest, TheDeviceEndsWithTheLastRateAndLineControl) {
    Start(RandomPolicy(GetParam()));
    for (int round = 0; round < 40; round++) {
        // Alternately 19200 7E1 and 115200 8N1; in the device's one-byte record the rate index, 8 data
        // bits 0x04, even parity 0x10.
        const bool slow = round % 2 == 0;
        const ULONG rate = slow ? 19200 : 115200;
        SERIAL_LINE_CONTROL line{};
        line.StopBits = STOP_BIT_1;
        line.Parity = slow ? EVEN_PARITY : NO_PARITY;
        line.WordLength = slow ? 7 : 8;
        std::atomic<int> done{0};
        Set("rate", IOCTL_SERIAL_SET_BAUD_RATE, Bytes(reinterpret_cast<const std::uint8_t*>(&rate),
                                                      reinterpret_cast<const std::uint8_t*>(&rate) + sizeof rate), done);
        Set("line", IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(reinterpret_cast<const std::uint8_t*>(&line),
                                                         reinterpret_cast<const std::uint8_t*>(&line) + sizeof line), done);
        while (done < 2) RunFor(1 * kMs);
        const Bytes expected{VCMD_LINE_SETTINGS, static_cast<std::uint8_t>(slow ? 0x01 | 0x10 : 0x03 | 0x04)};
        ASSERT_EQ(LastLineSettings(), expected) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SettingsRaceTest, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace porttest
