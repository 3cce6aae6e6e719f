// A long run in virtual time under the random policy: open, configure, stream both ways at 115200
// baud, pull the adapter out in the middle of a stream, plug it in again and start over, many times and
// under several seeds. No verifier stop, no leak, no hang, every request ends, and on the paths that did
// not fail every byte arrives once and in order.
#include "replug_stack.h"

#include <random>

namespace porttest {
namespace {

using namespace tarvel::kernel;
namespace u = tarvel::user;

constexpr VirtualTime kMs = kMillisecond;
constexpr int kCycles = 8;
constexpr std::size_t kStream = 3000;  // bytes each way per cycle

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned salt) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; i++) bytes[i] = static_cast<std::uint8_t>(i * 13 + salt + (i >> 8));
    return bytes;
}

class SoakTest : public ::testing::TestWithParam<std::uint64_t> {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        BootOptions options;
        options.policy = Policy::Random;
        options.seed = GetParam();
        Boot(options);
    }
    void TearDown() override { Shutdown(); }

    // One overlapped request; Done once it has completed.
    struct Pending {
        u::OVERLAPPED ov{};
        std::vector<std::uint8_t> buffer;
        NTSTATUS Status() const { return static_cast<NTSTATUS>(ov.Internal); }
        bool Done() const { return Status() != STATUS_PENDING; }
    };
    void Control(ULONG code, const void* input, DWORD length) {
        Pending r;
        DWORD n = 0;
        if (!u::DeviceIoControl(com, code, const_cast<void*>(input), length, nullptr, 0, &n, &r.ov)) {
            ASSERT_EQ(u::GetLastError(), (DWORD)ERROR_IO_PENDING);
            ASSERT_TRUE(u::GetOverlappedResult(com, &r.ov, &n, TRUE));
        }
    }
    void StartWrite(Pending& w, std::vector<std::uint8_t> data) {
        w.buffer = std::move(data);
        DWORD n = 0;
        if (!u::WriteFile(com, w.buffer.data(), static_cast<DWORD>(w.buffer.size()), &n, &w.ov)) {
            ASSERT_EQ(u::GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
    }
    void StartRead(Pending& r, std::size_t length) {
        r.buffer.assign(length, 0);
        DWORD n = 0;
        if (!u::ReadFile(com, r.buffer.data(), static_cast<DWORD>(length), &n, &r.ov)) {
            ASSERT_EQ(u::GetLastError(), (DWORD)ERROR_IO_PENDING);
        }
    }
    DWORD Finish(Pending& r) {
        DWORD n = 0;
        u::GetOverlappedResult(com, &r.ov, &n, TRUE);
        return static_cast<DWORD>(r.ov.InternalHigh);
    }

    HANDLE com = INVALID_HANDLE_VALUE;
};

TEST_P(SoakTest, StreamPullAndReplugManyTimes) {
    std::mt19937_64 random(GetParam());
    ReplugStack stack;
    for (int cycle = 0; cycle < kCycles; cycle++) {
        SCOPED_TRACE(::testing::Message() << "cycle " << cycle);
        ASSERT_EQ(stack.Plug(), STATUS_SUCCESS);
        com = u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(com, INVALID_HANDLE_VALUE);
        const SERIAL_BAUD_RATE rate{115200};
        Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate);
        const SERIAL_TIMEOUTS timeouts{0, 0, 5000, 0, 0};  // a read ends when full, or after 5 s
        Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);

        // Both ways at once; nothing fails, so every byte arrives once and in order.
        const auto out = Pattern(kStream, cycle);
        const auto in = Pattern(kStream, 100 + cycle);
        Pending write, read;
        stack.Peer().Send(in);
        StartWrite(write, out);
        StartRead(read, kStream);
        EXPECT_EQ(Finish(read), kStream);
        EXPECT_EQ(read.buffer, in);
        EXPECT_EQ(Finish(write), kStream);
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        RunFor(100 * kMs);
        EXPECT_EQ(stack.Peer().ReceivedBytes(), out);

        // Again, and pulled out in the middle: every request ends, and the port goes with the close.
        Pending lateWrite, lateRead;
        stack.Peer().Send(Pattern(kStream, 200));
        StartWrite(lateWrite, Pattern(kStream, 201));
        StartRead(lateRead, kStream);
        RunFor((1 + random() % 200) * kMs);
        stack.Unplug();
        u::CloseHandle(com);
        com = INVALID_HANDLE_VALUE;
        tarvel::pnp::WaitForIdle();
        EXPECT_TRUE(lateWrite.Done());
        EXPECT_TRUE(lateRead.Done());
        const DWORD got = static_cast<DWORD>(lateRead.ov.InternalHigh);
        EXPECT_TRUE(std::equal(lateRead.buffer.begin(), lateRead.buffer.begin() + got, Pattern(kStream, 200).begin()));
        EXPECT_EQ(tarvel::pnp::State(stack.Node()), tarvel::pnp::NodeState::Deleted);
        EXPECT_EQ(PoolOutstanding(PORT_TAG_CIRC) + PoolOutstanding(PORT_TAG_CREA) + PoolOutstanding(PORT_TAG_INIT), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, SoakTest, ::testing::Values(1u, 7u, 42u, 1234u, 99991u, 31337u, 271828u, 314159u));

}  // namespace
}  // namespace porttest
