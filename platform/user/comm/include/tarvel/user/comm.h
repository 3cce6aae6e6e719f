// The communications API of the application side: what a Windows application calls on an open COM
// port, with the records in their Win32 layouts (DCB, COMMTIMEOUTS, COMSTAT, COMMPROP) and the
// constants under their Win32 names. Each routine sends the serial control codes that the platform's
// own library sends for it, in the same order, so code written for Windows drives the port unchanged.
// The routines work on handles opened with and without FILE_FLAG_OVERLAPPED; only WaitCommEvent
// leaves a request in flight (when given an OVERLAPPED). On failure they return FALSE with the error in
// GetLastError, as on the platform.
#pragma once

#include <cstdint>

#include "tarvel/user.h"

namespace tarvel::user {

using WORD = std::uint16_t;
using BYTE = std::uint8_t;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
using LPDCB = DCB*;
static_assert(sizeof(DCB) == 28, "Win32 layout");

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;
static_assert(sizeof(COMMTIMEOUTS) == 20, "Win32 layout");

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;
static_assert(sizeof(COMSTAT) == 12, "Win32 layout");

struct COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
};
using LPCOMMPROP = COMMPROP*;
static_assert(sizeof(COMMPROP) == 64, "Win32 layout");

// ---- Communications functions --------------------------------------------------------------------
BOOL GetCommState(HANDLE file, LPDCB dcb);
BOOL SetCommState(HANDLE file, LPDCB dcb);
BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL GetCommMask(HANDLE file, LPDWORD eventMask);
// With an OVERLAPPED the wait stays in flight (FALSE, ERROR_IO_PENDING) and *eventMask is written when
// it completes; without one the call returns when an event of the mask has happened.
BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped);
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL SetCommBreak(HANDLE file);
BOOL ClearCommBreak(HANDLE file);
BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus);
BOOL GetCommProperties(HANDLE file, LPCOMMPROP properties);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL TransmitCommChar(HANDLE file, char c);
// Fills the members of the DCB that a mode string names ("baud=9600 parity=e data=7 stop=2 ..." or the
// older "COM1: 9600,e,7,2[,x|p]"); sends nothing. A malformed string leaves the DCB as it was.
BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb);

} // namespace tarvel::user

// DCB.fDtrControl
#define DTR_CONTROL_DISABLE 0x0
#define DTR_CONTROL_ENABLE 0x1
#define DTR_CONTROL_HANDSHAKE 0x2
// DCB.fRtsControl
#define RTS_CONTROL_DISABLE 0x0
#define RTS_CONTROL_ENABLE 0x1
#define RTS_CONTROL_HANDSHAKE 0x2
#define RTS_CONTROL_TOGGLE 0x3
// DCB.Parity
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
// DCB.StopBits
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
// Baud rates
#define CBR_110 110
#define CBR_300 300
#define CBR_600 600
#define CBR_1200 1200
#define CBR_2400 2400
#define CBR_4800 4800
#define CBR_9600 9600
#define CBR_14400 14400
#define CBR_19200 19200
#define CBR_38400 38400
#define CBR_56000 56000
#define CBR_57600 57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

// ClearCommError error bits
#define CE_RXOVER 0x0001
#define CE_OVERRUN 0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME 0x0008
#define CE_BREAK 0x0010
#define CE_TXFULL 0x0100
#define CE_PTO 0x0200
#define CE_IOE 0x0400
#define CE_DNS 0x0800
#define CE_OOP 0x1000
#define CE_MODE 0x8000

// Events (SetCommMask, WaitCommEvent)
#define EV_RXCHAR 0x0001
#define EV_RXFLAG 0x0002
#define EV_TXEMPTY 0x0004
#define EV_CTS 0x0008
#define EV_DSR 0x0010
#define EV_RLSD 0x0020
#define EV_BREAK 0x0040
#define EV_ERR 0x0080
#define EV_RING 0x0100
#define EV_PERR 0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1 0x0800
#define EV_EVENT2 0x1000

// PurgeComm
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

// EscapeCommFunction
#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

// GetCommModemStatus
#define MS_CTS_ON 0x0010
#define MS_DSR_ON 0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

// GetCommProperties
#define COMMPROP_INITIALIZED 0xE73CF52Eu

// COMMPROP.dwServiceMask
#define SP_SERIALCOMM 0x00000001u

// COMMPROP.dwProvSubType
#define PST_UNSPECIFIED 0x00000000u
#define PST_RS232 0x00000001u
#define PST_PARALLELPORT 0x00000002u
#define PST_RS422 0x00000003u
#define PST_RS423 0x00000004u
#define PST_RS449 0x00000005u
#define PST_MODEM 0x00000006u
#define PST_FAX 0x00000021u
#define PST_SCANNER 0x00000022u
#define PST_NETWORK_BRIDGE 0x00000100u
#define PST_LAT 0x00000101u
#define PST_TCPIP_TELNET 0x00000102u
#define PST_X25 0x00000103u

// COMMPROP.dwProvCapabilities
#define PCF_DTRDSR 0x0001u
#define PCF_RTSCTS 0x0002u
#define PCF_RLSD 0x0004u
#define PCF_PARITY_CHECK 0x0008u
#define PCF_XONXOFF 0x0010u
#define PCF_SETXCHAR 0x0020u
#define PCF_TOTALTIMEOUTS 0x0040u
#define PCF_INTTIMEOUTS 0x0080u
#define PCF_SPECIALCHARS 0x0100u
#define PCF_16BITMODE 0x0200u

// COMMPROP.dwSettableParams
#define SP_PARITY 0x0001u
#define SP_BAUD 0x0002u
#define SP_DATABITS 0x0004u
#define SP_STOPBITS 0x0008u
#define SP_HANDSHAKING 0x0010u
#define SP_PARITY_CHECK 0x0020u
#define SP_RLSD 0x0040u

// COMMPROP.dwMaxBaud and dwSettableBaud
#define BAUD_075 0x00000001u
#define BAUD_110 0x00000002u
#define BAUD_134_5 0x00000004u
#define BAUD_150 0x00000008u
#define BAUD_300 0x00000010u
#define BAUD_600 0x00000020u
#define BAUD_1200 0x00000040u
#define BAUD_1800 0x00000080u
#define BAUD_2400 0x00000100u
#define BAUD_4800 0x00000200u
#define BAUD_7200 0x00000400u
#define BAUD_9600 0x00000800u
#define BAUD_14400 0x00001000u
#define BAUD_19200 0x00002000u
#define BAUD_38400 0x00004000u
#define BAUD_56K 0x00008000u
#define BAUD_128K 0x00010000u
#define BAUD_115200 0x00020000u
#define BAUD_57600 0x00040000u
#define BAUD_USER 0x10000000u

// COMMPROP.wSettableData
#define DATABITS_5 0x0001
#define DATABITS_6 0x0002
#define DATABITS_7 0x0004
#define DATABITS_8 0x0008
#define DATABITS_16 0x0010
#define DATABITS_16X 0x0020

// COMMPROP.wSettableStopParity
#define STOPBITS_10 0x0001
#define STOPBITS_15 0x0002
#define STOPBITS_20 0x0004
#define PARITY_NONE 0x0100
#define PARITY_ODD 0x0200
#define PARITY_EVEN 0x0400
#define PARITY_MARK 0x0800
#define PARITY_SPACE 0x1000
