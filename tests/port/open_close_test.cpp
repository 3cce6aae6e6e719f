// Opening and closing COM3 on the whole stack: one application at a time, the pipes it binds below,
// the transfer sizes taken from the pipes' packet sizes, and opens that fail on the way, each leaving
// the port closed and clean for the next.
#include "serial_stack.h"

namespace porttest {
namespace {

using namespace tarvel::kernel;

// Stack options with hardware-key values and whether COM3 is opened at the start.
StackOptions With(std::map<std::string, ULONG> settings, bool open = true) {
    StackOptions options;
    options.settings = std::move(settings);
    options.open = open;
    return options;
}


class OpenCloseTest : public SerialStackTest {
protected:
    static bool Bound(const PIPE_HANDLE& pipe) { return pipe.FileObject.FsContext != nullptr; }
    HANDLE OpenAgain() {
        return u::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    }
    // Everything an open leaves behind is gone.
    void ExpectClosedAndClean() {
        EXPECT_EQ(ext->OpenCount, 0);
        EXPECT_FALSE(Bound(ext->TxPipe));
        EXPECT_FALSE(Bound(ext->RxPipe));
        EXPECT_FALSE(Bound(ext->StatusPipe));
        EXPECT_EQ(ext->RxBuffer, nullptr);
        EXPECT_EQ(ext->RxRing.Buffer, nullptr);
        EXPECT_EQ(PoolOutstanding(PORT_TAG_CREA), 0u);
        EXPECT_EQ(PoolOutstanding(PORT_TAG_FILT), 1u);  // only the driver's registry path copy
        EXPECT_TRUE(ext->RxStopped);
        EXPECT_TRUE(ext->TxStopped);
    }
};

TEST_F(OpenCloseTest, ASecondOpenIsRefusedAndTheFirstStaysUsable) {
    Start();
    EXPECT_EQ(OpenAgain(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(u::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(ext->OpenCount, 1);

    Request write;
    Write(write, Pattern(10));
    Wait(write);
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Information(), 10u);
    RunFor(50 * kMs);
    EXPECT_EQ(peer.ReceivedBytes(), Pattern(10));
}

TEST_F(OpenCloseTest, OpenBindsThePipesSwitchesThePortOnAndCloseTakesItBack) {
    Start();
    EXPECT_TRUE(Bound(ext->TxPipe));
    EXPECT_TRUE(Bound(ext->RxPipe));
    EXPECT_TRUE(Bound(ext->StatusPipe));  // the package's EndPointCaps is 1
    EXPECT_FALSE(ext->TxStopped);
    EXPECT_FALSE(ext->RxStopped);
    EXPECT_EQ(ext->ModemControl, MODEM_CONTROL_RTS | MODEM_CONTROL_DTR);
    EXPECT_EQ(ext->RxRing.Size, 4096u);
    EXPECT_EQ(ext->HandFlow.XonLimit, 2048);
    EXPECT_EQ(ext->HandFlow.XoffLimit, 512);
    const auto& commands = Adapter().AcceptedCommands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], (std::vector<std::uint8_t>{VCMD_PORT_ENABLE, 1}));
    EXPECT_EQ(commands.back(), (std::vector<std::uint8_t>{VCMD_MODEM_CONTROL, 3}));
    EXPECT_TRUE(Adapter().Line().Enabled());

    Close();
    ExpectClosedAndClean();
    EXPECT_EQ(commands.back(), (std::vector<std::uint8_t>{VCMD_PORT_ENABLE, 0}));
    EXPECT_FALSE(Adapter().Line().Enabled());
}

TEST_F(OpenCloseTest, WithoutAStatusPipeOnlyTheDataPipesAreUsed) {
    Start(With({{"EndPointCaps", 0}}));
    EXPECT_TRUE(Bound(ext->TxPipe));
    EXPECT_TRUE(Bound(ext->RxPipe));
    EXPECT_FALSE(Bound(ext->StatusPipe));
    EXPECT_EQ(ext->ModemStatus, 0xB0u);
    peer.SetLines({.cts = false, .dsr = false, .dcd = false, .ri = true});
    RunFor(100 * kMs);
    EXPECT_EQ(ext->ModemStatus, 0xB0u);  // nothing polls the lines
    Close();
    ExpectClosedAndClean();
}

struct PacketCase {
    ULONG rxReqSize;
    ULONG kickThreshold;
    ULONG expectedRxReqSize;
    ULONG expectedKick;
    friend void PrintTo(const PacketCase& c, std::ostream* out) {
        *out << "RxReqSize " << c.rxReqSize << ", TxKickThreshold " << c.kickThreshold;
    }
};
class PacketSizeTest : public OpenCloseTest, public ::testing::WithParamInterface<PacketCase> {};

// A high-speed adapter has 512-byte bulk packets.
TEST_P(PacketSizeTest, TransferSizesAreRoundedToWholePackets) {
    StackOptions options = With({{"RxReqSize", GetParam().rxReqSize}, {"TxKickThreshold", GetParam().kickThreshold}});
    options.adapter.speed = usb::Speed::High;
    Start(options);
    EXPECT_EQ(ext->TxPacketSize, 512u);
    EXPECT_EQ(ext->RxPacketSize, 512u);
    EXPECT_EQ(ext->RxReqSize, GetParam().expectedRxReqSize);
    EXPECT_EQ(ext->TxKickThreshold, GetParam().expectedKick);
}

INSTANTIATE_TEST_SUITE_P(Values, PacketSizeTest,
                         ::testing::Values(PacketCase{0, 2048, 512, 2048}, PacketCase{100, 100, 512, 512},
                                           PacketCase{513, 4095, 1024, 4096}));

TEST_F(OpenCloseTest, FullSpeedPacketsOf64GiveTheSmallestSizes) {
    Start(With({{"RxReqSize", 100}, {"TxKickThreshold", 1}}));
    EXPECT_EQ(ext->RxReqSize, 128u);
    EXPECT_EQ(ext->TxKickThreshold, 64u);
}

// An open that fails after the pipes were bound closes them again and frees what it allocated; the
// next open starts from a clean state.
TEST_F(OpenCloseTest, AFailedOpenLeavesThePortClosedAndTheNextOpenWorks) {
    Start(With({}, false));
    FailNth(FaultSite::Pool, 1, PORT_TAG_CREA);  // the receive transfer buffer
    EXPECT_EQ(OpenAgain(), INVALID_HANDLE_VALUE);
    ExpectClosedAndClean();
    Open();
    EXPECT_EQ(ext->OpenCount, 1);
    EXPECT_TRUE(Bound(ext->RxPipe));
}

// Every allocation that an open makes, failed in turn: the open either succeeds or fails cleanly, and
// the one after it works.
TEST_F(OpenCloseTest, AllocationFailuresAnywhereInOpenLeaveNothingBehind) {
    Start(With({}, false));
    for (FaultSite site : {FaultSite::Pool, FaultSite::Irp, FaultSite::Mdl}) {
        for (unsigned n = 1;; n++) {
            const auto injected = FaultsInjected();
            FailNth(site, n);
            HANDLE h = OpenAgain();
            const bool hit = FaultsInjected() > injected;
            ClearFaults();
            if (h != INVALID_HANDLE_VALUE) {
                u::CloseHandle(h);
            }
            SCOPED_TRACE(::testing::Message() << "site " << int(site) << ", allocation " << n);
            ExpectClosedAndClean();
            HANDLE next = OpenAgain();
            ASSERT_NE(next, INVALID_HANDLE_VALUE);
            u::CloseHandle(next);
            if (!hit) break;  // past the last allocation of an open
        }
    }
}

}  // namespace
}  // namespace porttest
