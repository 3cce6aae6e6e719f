// Acting on the line and the queues: EscapeCommFunction and the break calls, PurgeComm, SetupComm and
// TransmitCommChar, each one request.
#include "serial_request.h"

namespace tarvel::user {

static_assert(PURGE_TXABORT == SERIAL_PURGE_TXABORT && PURGE_RXABORT == SERIAL_PURGE_RXABORT &&
              PURGE_TXCLEAR == SERIAL_PURGE_TXCLEAR && PURGE_RXCLEAR == SERIAL_PURGE_RXCLEAR);

BOOL EscapeCommFunction(HANDLE file, DWORD function) {
    DWORD code = 0;
    switch (function) {
    case SETXOFF: code = IOCTL_SERIAL_SET_XOFF; break;
    case SETXON: code = IOCTL_SERIAL_SET_XON; break;
    case SETRTS: code = IOCTL_SERIAL_SET_RTS; break;
    case CLRRTS: code = IOCTL_SERIAL_CLR_RTS; break;
    case SETDTR: code = IOCTL_SERIAL_SET_DTR; break;
    case CLRDTR: code = IOCTL_SERIAL_CLR_DTR; break;
    case RESETDEV: code = IOCTL_SERIAL_RESET_DEVICE; break;
    case SETBREAK: code = IOCTL_SERIAL_SET_BREAK_ON; break;
    case CLRBREAK: code = IOCTL_SERIAL_SET_BREAK_OFF; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return FALSE;
    }
    return comm::SerialRequest(file, code);
}

BOOL SetCommBreak(HANDLE file) { return EscapeCommFunction(file, SETBREAK); }

BOOL ClearCommBreak(HANDLE file) { return EscapeCommFunction(file, CLRBREAK); }

BOOL PurgeComm(HANDLE file, DWORD flags) { return comm::SetRecord(file, IOCTL_SERIAL_PURGE, flags); }

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    const SERIAL_QUEUE_SIZE sizes{inQueue, outQueue};
    return comm::SetRecord(file, IOCTL_SERIAL_SET_QUEUE_SIZE, sizes);
}

BOOL TransmitCommChar(HANDLE file, char c) {
    const UCHAR character = static_cast<UCHAR>(c);
    return comm::SetRecord(file, IOCTL_SERIAL_IMMEDIATE_CHAR, character);
}

} // namespace tarvel::user
