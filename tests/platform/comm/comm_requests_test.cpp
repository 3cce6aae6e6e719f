// The other communications routines against the recording port: which request each sends, with which
// record, what comes back to the caller, and how a driver's refusal reaches GetLastError.
#include "comm_fixture.h"

namespace commtest {
namespace {

using Codes = std::vector<ULONG>;
using CommRequests = CommTest;

TEST_P(CommRequests, TimeoutsTravelAsSerialTimeouts) {
    u::COMMTIMEOUTS t{0xFFFFFFFFu, 0, 0, 7, 500};
    ASSERT_TRUE(u::SetCommTimeouts(com, &t));
    EXPECT_EQ(port->timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutMultiplier, 7u);
    EXPECT_EQ(port->timeouts.WriteTotalTimeoutConstant, 500u);
    port->timeouts = {1, 2, 3, 4, 5};
    u::COMMTIMEOUTS back{};
    ASSERT_TRUE(u::GetCommTimeouts(com, &back));
    EXPECT_EQ(back.ReadIntervalTimeout, 1u);
    EXPECT_EQ(back.ReadTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 5u);
    EXPECT_EQ(port->Codes(), (Codes{IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS}));

    port->failures[IOCTL_SERIAL_SET_TIMEOUTS] = STATUS_INVALID_PARAMETER;
    EXPECT_FALSE(u::SetCommTimeouts(com, &t));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_P(CommRequests, MaskAndOverlappedWaitForEvents) {
    ASSERT_TRUE(u::SetCommMask(com, EV_RXCHAR | EV_TXEMPTY));
    EXPECT_EQ(port->waitMask, static_cast<ULONG>(EV_RXCHAR | EV_TXEMPTY));
    DWORD mask = 0;
    ASSERT_TRUE(u::GetCommMask(com, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));

    if (!Overlapped()) return; // a synchronous handle waits in the call (next test)
    HANDLE event = u::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    u::OVERLAPPED ov{};
    ov.hEvent = event;
    DWORD events = 0xDEAD;
    EXPECT_FALSE(u::WaitCommEvent(com, &events, &ov));
    ASSERT_EQ(u::GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(port->WaitPending());
    EXPECT_EQ(u::WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(port->CompleteWait(EV_TXEMPTY));
    EXPECT_EQ(u::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    ASSERT_TRUE(u::GetOverlappedResult(com, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_TXEMPTY));
    EXPECT_EQ(port->Codes(), (Codes{IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK}));
    EXPECT_EQ(port->requests.back().outputLength, 4u);

    // Cancelled with CancelIo: the wait ends as aborted.
    EXPECT_FALSE(u::WaitCommEvent(com, &events, &ov));
    ASSERT_EQ(u::GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(u::CancelIo(com));
    EXPECT_FALSE(u::GetOverlappedResult(com, &ov, &bytes, TRUE));
    EXPECT_EQ(u::GetLastError(), ERROR_OPERATION_ABORTED);
    u::CloseHandle(event);
}

TEST_P(CommRequests, WaitWithoutOverlappedReturnsOnceAnEventHappened) {
    ASSERT_TRUE(u::SetCommMask(com, EV_CTS));
    RecordingPort* recorder = port.get();
    tarvel::kernel::StartThread("device", [recorder] {
        while (!recorder->WaitPending()) tarvel::kernel::RunFor(tarvel::kernel::kMillisecond);
        tarvel::kernel::RunFor(20 * tarvel::kernel::kMillisecond);
        recorder->CompleteWait(EV_CTS);
    });
    const auto start = tarvel::kernel::Now();
    DWORD events = 0;
    ASSERT_TRUE(u::WaitCommEvent(com, &events, nullptr)) << u::GetLastError();
    EXPECT_EQ(events, static_cast<DWORD>(EV_CTS));
    EXPECT_GE(tarvel::kernel::Now() - start, 20 * tarvel::kernel::kMillisecond) << "the call waited for the event";

    port->waitMask = 0; // the driver refuses a wait without a mask
    EXPECT_FALSE(u::WaitCommEvent(com, &events, nullptr));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_P(CommRequests, ClearCommErrorTranslatesErrorsAndHoldReasons) {
    port->status.Errors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |
                          SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;
    port->status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_XON;
    port->status.AmountInInQueue = 12;
    port->status.AmountInOutQueue = 34;
    port->status.WaitForImmediate = TRUE;
    DWORD errors = 0;
    u::COMSTAT stat{};
    ASSERT_TRUE(u::ClearCommError(com, &errors, &stat));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    EXPECT_TRUE(stat.fCtsHold);
    EXPECT_FALSE(stat.fDsrHold);
    EXPECT_FALSE(stat.fRlsdHold);
    EXPECT_TRUE(stat.fXoffHold);
    EXPECT_FALSE(stat.fXoffSent);
    EXPECT_FALSE(stat.fEof);
    EXPECT_TRUE(stat.fTxim);
    EXPECT_EQ(stat.cbInQue, 12u);
    EXPECT_EQ(stat.cbOutQue, 34u);

    port->status = {};
    ASSERT_TRUE(u::ClearCommError(com, nullptr, nullptr)) << "both outputs are optional";
    EXPECT_EQ(port->Codes(), (Codes{IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS}));
}

TEST_P(CommRequests, ModemStatusAndProperties) {
    port->modemStatus = MS_CTS_ON | MS_RLSD_ON;
    DWORD modem = 0;
    ASSERT_TRUE(u::GetCommModemStatus(com, &modem));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_CTS_ON | MS_RLSD_ON));

    port->queueSize = {4096, 1024};
    u::COMMPROP prop{};
    ASSERT_TRUE(u::GetCommProperties(com, &prop));
    EXPECT_EQ(prop.wPacketLength, 64);
    EXPECT_EQ(prop.dwMaxBaud, static_cast<DWORD>(SERIAL_BAUD_115200));
    EXPECT_EQ(prop.dwCurrentRxQueue, 4096u);
    EXPECT_EQ(prop.dwCurrentTxQueue, 1024u);
    EXPECT_EQ(port->requests.back().outputLength, sizeof(u::COMMPROP));

    // A larger record announced by the caller is offered whole; an announced one that is too small is refused.
    struct {
        u::COMMPROP prop;
        std::uint8_t providerData[32];
    } large{};
    large.prop.wPacketLength = sizeof large;
    large.prop.dwProvSpec1 = COMMPROP_INITIALIZED;
    ASSERT_TRUE(u::GetCommProperties(com, &large.prop));
    EXPECT_EQ(port->requests.back().outputLength, sizeof large);
    EXPECT_EQ(large.providerData[31], 0xA5);
    const std::size_t sent = port->requests.size();
    u::COMMPROP small{};
    small.wPacketLength = 20;
    small.dwProvSpec1 = COMMPROP_INITIALIZED;
    EXPECT_FALSE(u::GetCommProperties(com, &small));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port->requests.size(), sent);
}

TEST_P(CommRequests, EscapeFunctionsMapToTheirRequests) {
    const std::pair<DWORD, ULONG> map[] = {
        {SETXOFF, IOCTL_SERIAL_SET_XOFF},     {SETXON, IOCTL_SERIAL_SET_XON},
        {SETRTS, IOCTL_SERIAL_SET_RTS},       {CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {SETDTR, IOCTL_SERIAL_SET_DTR},       {CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {RESETDEV, IOCTL_SERIAL_RESET_DEVICE}, {SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
        {CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF}};
    for (const auto& [function, code] : map) {
        port->ClearRecord();
        ASSERT_TRUE(u::EscapeCommFunction(com, function)) << function;
        EXPECT_EQ(port->Codes(), Codes{code}) << function;
    }
    port->ClearRecord();
    EXPECT_FALSE(u::EscapeCommFunction(com, 10));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(port->requests.empty());

    ASSERT_TRUE(u::SetCommBreak(com));
    EXPECT_TRUE(port->breakOn);
    ASSERT_TRUE(u::ClearCommBreak(com));
    EXPECT_FALSE(port->breakOn);

    port->handflow.FlowReplace = SERIAL_RTS_HANDSHAKE;
    EXPECT_FALSE(u::EscapeCommFunction(com, SETRTS)) << "the driver's refusal is the caller's";
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_P(CommRequests, QueuesPurgeAndImmediateCharacter) {
    ASSERT_TRUE(u::PurgeComm(com, PURGE_RXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(port->purged, static_cast<ULONG>(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT));
    ASSERT_TRUE(u::SetupComm(com, 8192, 2048));
    EXPECT_EQ(port->queueSize.InSize, 8192u);
    EXPECT_EQ(port->queueSize.OutSize, 2048u);
    ASSERT_TRUE(u::TransmitCommChar(com, '\xF0'));
    EXPECT_EQ(port->immediate, std::vector<UCHAR>{0xF0});
    EXPECT_EQ(port->Codes(), (Codes{IOCTL_SERIAL_PURGE, IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_IMMEDIATE_CHAR}));
    EXPECT_EQ(port->requests[2].input.size(), 1u);

    port->failures[IOCTL_SERIAL_IMMEDIATE_CHAR] = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_FALSE(u::TransmitCommChar(com, 'x'));
    EXPECT_EQ(u::GetLastError(), ERROR_NOT_READY);
    port->failures[IOCTL_SERIAL_PURGE] = STATUS_CANCELLED;
    EXPECT_FALSE(u::PurgeComm(com, PURGE_RXABORT));
    EXPECT_EQ(u::GetLastError(), ERROR_OPERATION_ABORTED);
}

INSTANTIATE_TEST_SUITE_P(BothHandles, CommRequests, ::testing::Bool(), HandleKind);

} // namespace
} // namespace commtest
