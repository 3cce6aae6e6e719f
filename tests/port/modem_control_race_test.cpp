// The modem-control lines set from two application threads at once: each request changes its own
// line, and neither may undo the other's (a read-modify-write of the shared control byte without a
// lock loses one; the race configuration reports it at once, the other builds only now and then).
#include "serial_stack.h"

#include <atomic>

namespace porttest {
namespace {

class ModemControlRaceTest : public SerialStackTest, public ::testing::WithParamInterface<std::uint64_t> {
protected:
    void Line(const char* thread, ULONG code, std::atomic<int>& done) {
        k::StartThread(thread, [this, code, &done] {
            Request r;
            Control(r, code, nullptr, 0, 0);
            Wait(r);
            EXPECT_EQ(r.Status(), STATUS_SUCCESS) << std::hex << code;
            ++done;
        });
    }
    ULONG ModemControl() {
        Request r;
        Control(r, IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, sizeof(ULONG));
        Wait(r);
        return Ulong(r);
    }
};

TEST_P(ModemControlRaceTest, DtrAndRtsSetAtOnceBothStaySet) {
    Start(RandomPolicy(GetParam()));
    SetBaudRate(115200);
    for (int round = 0; round < 40; round++) {
        std::atomic<int> cleared{0};
        Line("dtr", IOCTL_SERIAL_CLR_DTR, cleared);
        Line("rts", IOCTL_SERIAL_CLR_RTS, cleared);
        while (cleared < 2) RunFor(1 * kMs);
        ASSERT_EQ(ModemControl() & (SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS), 0u) << "round " << round;

        std::atomic<int> set{0};
        Line("dtr", IOCTL_SERIAL_SET_DTR, set);
        Line("rts", IOCTL_SERIAL_SET_RTS, set);
        while (set < 2) RunFor(1 * kMs);
        ASSERT_EQ(ModemControl() & (SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS), SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS)
            << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModemControlRaceTest, ::testing::Range<std::uint64_t>(1, 9));

}  // namespace
}  // namespace porttest
