// The application closes and opens the port again and again while a rebalance or a system sleep pauses
// the open port and restarts it. The pause stops the receive engine and status polling and waits on
// their idle events, which an open initialises; the restart binds the pipes and starts the engines of
// whatever open it finds. Whatever the interleaving, the machine must not stop, and afterwards the port
// opens and carries data as after any open. Under the sequential policy and eight seeds of random.
#include "serial_stack.h"

#include <atomic>
#include <tuple>

namespace porttest {
namespace {

enum class Pause { Rebalance, Sleep };

class OpenBesidePauseTest : public SerialStackTest,
                            public ::testing::WithParamInterface<std::tuple<Pause, std::uint64_t>> {
protected:
    Pause Kind() const { return std::get<0>(GetParam()); }
    std::uint64_t Seed() const { return std::get<1>(GetParam()); }

    // An open may be refused while the device is stopped; that is the application's lot, not a fault.
    bool TryOpen() {
        com = u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        return com != INVALID_HANDLE_VALUE;
    }

    void PauseOnce() {
        if (Kind() == Pause::Rebalance) {
            EXPECT_EQ(tarvel::pnp::Rebalance(usb::Node(BusPort())), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(tarvel::power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
            EXPECT_EQ(tarvel::power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
        }
    }
};

TEST_P(OpenBesidePauseTest, CloseAndOpenMeetThePauseAndTheRestartOneAtATime) {
    Start(Seed() ? RandomPolicy(Seed()) : StackOptions{});
    SetBaudRate(115200);
    for (unsigned round = 0; round < 6; round++) {
        std::atomic<bool> paused{false};
        k::StartThread("pause", [&] {
            PauseOnce();
            paused = true;
        });
        // Close first, then open, at a different moment of the pause in every round.
        for (unsigned step = 0; !paused; step++) {
            Close();
            RunFor((step + round) % 3 * kMs);
            TryOpen();
            RunFor((step + 2 * round) % 4 * kMs);
        }
        if (com == INVALID_HANDLE_VALUE) {
            ASSERT_TRUE(TryOpen()) << "round " << round << ": error " << u::GetLastError();
        }
        SetBaudRate(115200);
        SetTimeouts(0, 0, 0);
        peer.ClearReceived();
        Request write;
        Write(write, Pattern(16, round));
        Wait(write);
        ASSERT_EQ(write.Status(), STATUS_SUCCESS) << "round " << round;
        RunFor(20 * kMs);
        ASSERT_EQ(peer.ReceivedBytes(), Pattern(16, round)) << "round " << round;
        peer.Send(Pattern(8, 40 + round));
        Request read;
        Read(read, 8);
        Wait(read);
        ASSERT_EQ(read.Status(), STATUS_SUCCESS) << "round " << round;
        ASSERT_EQ(read.buffer, Pattern(8, 40 + round)) << "round " << round;
    }
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Pause, std::uint64_t>>& info) {
    const std::uint64_t seed = std::get<1>(info.param);
    return std::string(std::get<0>(info.param) == Pause::Rebalance ? "Rebalance" : "Sleep") +
           (seed ? "Seed" + std::to_string(seed) : "Sequential");
}

INSTANTIATE_TEST_SUITE_P(Seeds, OpenBesidePauseTest,
                         ::testing::Combine(::testing::Values(Pause::Rebalance, Pause::Sleep),
                                            ::testing::Range<std::uint64_t>(0, 9)),
                         CaseName);

}  // namespace
}  // namespace porttest
