// GetCommState and SetCommState against the recording port: the requests in the platform library's
// order, the records built from the DCB and back, handshake lines, and the rollback after a refusal.
#include "comm_fixture.h"

namespace commtest {
namespace {

using Codes = std::vector<ULONG>;

const Codes kGetState{IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
                      IOCTL_SERIAL_GET_HANDFLOW};

Codes Concat(std::initializer_list<Codes> parts) {
    Codes all;
    for (const Codes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

using CommState = CommTest;

TEST_P(CommState, GetCommStateReadsTheFourRecordsIntoTheDcb) {
    port->baud.BaudRate = 38400;
    port->line = {TWOSTOPBITS, EVENPARITY, 7};
    port->chars = {0x1A, 0x3F, 0x00, 0x7E, 0x11, 0x13};
    port->handflow = {SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_SENSITIVITY,
                      SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_XOFF_CONTINUE, 70000,
                      512};
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb)) << u::GetLastError();
    EXPECT_EQ(port->Codes(), kGetState);
    EXPECT_EQ(dcb.DCBlength, sizeof(u::DCB));
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_FALSE(dcb.fOutxDsrFlow);
    EXPECT_TRUE(dcb.fDsrSensitivity);
    EXPECT_FALSE(dcb.fOutX);
    EXPECT_TRUE(dcb.fInX);
    EXPECT_TRUE(dcb.fErrorChar);
    EXPECT_TRUE(dcb.fTXContinueOnXoff);
    EXPECT_FALSE(dcb.fNull);
    EXPECT_EQ(dcb.XonLim, 0xFFFF) << "a limit above 16 bits reads as the largest the DCB holds";
    EXPECT_EQ(dcb.XoffLim, 512);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.EvtChar, 0x7E);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
}

TEST_P(CommState, SetCommStateSendsTheSettingsInTheLibrarysOrder) {
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb));
    port->ClearRecord();
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutX = 1;
    dcb.fNull = 1;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 100;
    dcb.XoffLim = 200;
    dcb.EvtChar = '\n';
    ASSERT_TRUE(u::SetCommState(com, &dcb)) << u::GetLastError();
    EXPECT_EQ(port->Codes(), Concat({kGetState,
                                     {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_DTR,
                                      IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                      IOCTL_SERIAL_SET_HANDFLOW}}));
    EXPECT_EQ(port->baud.BaudRate, 115200u);
    EXPECT_EQ(port->line.WordLength, 8);
    EXPECT_EQ(port->line.StopBits, STOP_BIT_1);
    EXPECT_EQ(port->handflow.ControlHandShake, SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT);
    EXPECT_EQ(port->handflow.FlowReplace, SERIAL_AUTO_TRANSMIT | SERIAL_NULL_STRIPPING);
    EXPECT_EQ(port->handflow.XonLimit, 100u);
    EXPECT_EQ(port->handflow.XoffLimit, 200u);
    EXPECT_EQ(port->chars.EventChar, '\n');
    EXPECT_EQ(port->chars.BreakChar, 0) << "the DCB has no break character";
    EXPECT_TRUE(port->dtr);
    EXPECT_FALSE(port->rts);
}

TEST_P(CommState, HandshakeLinesAreLeftToTheDriver) {
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb));
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutxCtsFlow = 1;
    dcb.fOutxDsrFlow = 1;
    port->ClearRecord();
    ASSERT_TRUE(u::SetCommState(com, &dcb)) << u::GetLastError();
    EXPECT_EQ(port->Codes(), Concat({kGetState,
                                     {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                      IOCTL_SERIAL_SET_HANDFLOW}}));
    EXPECT_EQ(port->handflow.ControlHandShake, SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE);
    EXPECT_EQ(port->handflow.FlowReplace, SERIAL_TRANSMIT_TOGGLE);
}

TEST_P(CommState, LeavingHandshakeSetsTheLineOnceTheHandshakeIsGone) {
    port->handflow = {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512};
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    port->ClearRecord();
    ASSERT_TRUE(u::SetCommState(com, &dcb)) << u::GetLastError();
    EXPECT_EQ(port->Codes(),
              Concat({kGetState,
                      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR,
                       IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW,
                       IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR}}));
    EXPECT_TRUE(port->rts);
    EXPECT_TRUE(port->dtr);
}

TEST_P(CommState, ARefusedSettingPutsTheOldStateBack) {
    port->baud.BaudRate = 9600;
    port->line = {STOP_BIT_1, NO_PARITY, 8};
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb));
    dcb.BaudRate = 57600;
    dcb.ByteSize = 5;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    port->failures[IOCTL_SERIAL_SET_LINE_CONTROL] = STATUS_INVALID_PARAMETER;
    port->ClearRecord();
    EXPECT_FALSE(u::SetCommState(com, &dcb));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(port->Codes(),
              Concat({kGetState,
                      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL},
                      {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                       IOCTL_SERIAL_SET_HANDFLOW}}));
    EXPECT_EQ(port->baud.BaudRate, 9600u) << "the old rate is back";
    EXPECT_EQ(port->handflow.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));
}

TEST_P(CommState, WhatGetCommStateReadsSetCommStateWritesBackUnchanged) {
    port->baud.BaudRate = 2400;
    port->line = {TWOSTOPBITS, ODDPARITY, 7};
    port->chars = {1, 2, 0, 4, 5, 6};
    port->handflow = {SERIAL_DTR_CONTROL | SERIAL_DSR_HANDSHAKE | SERIAL_ERROR_ABORT,
                      SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_NULL_STRIPPING, 10,
                      20};
    const SERIAL_LINE_CONTROL line = port->line;
    const SERIAL_CHARS chars = port->chars;
    const SERIAL_HANDFLOW handflow = port->handflow;
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb));
    ASSERT_TRUE(u::SetCommState(com, &dcb)) << u::GetLastError();
    EXPECT_EQ(port->baud.BaudRate, 2400u);
    EXPECT_EQ(std::memcmp(&port->line, &line, sizeof line), 0);
    EXPECT_EQ(std::memcmp(&port->chars, &chars, sizeof chars), 0);
    EXPECT_EQ(std::memcmp(&port->handflow, &handflow, sizeof handflow), 0);
}

TEST_P(CommState, BadArgumentsAndShortAnswersFail) {
    u::DCB dcb{};
    ASSERT_TRUE(u::GetCommState(com, &dcb));
    port->ClearRecord();
    EXPECT_FALSE(u::GetCommState(com, nullptr));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(u::SetCommState(com, nullptr));
    dcb.fDtrControl = 3;
    EXPECT_FALSE(u::SetCommState(com, &dcb));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(port->requests.empty()) << "nothing is sent for a DCB that names no DTR mode";

    port->shortAnswers[IOCTL_SERIAL_GET_HANDFLOW] = 8;
    EXPECT_FALSE(u::GetCommState(com, &dcb)) << "half a SERIAL_HANDFLOW is no state";
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(u::GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(u::GetLastError(), ERROR_INVALID_HANDLE);
}

INSTANTIATE_TEST_SUITE_P(BothHandles, CommState, ::testing::Bool(), HandleKind);

} // namespace
} // namespace commtest
