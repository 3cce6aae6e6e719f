// What the port reports: ClearCommError (IOCTL_SERIAL_GET_COMMSTATUS, which also clears the driver's
// error bits), GetCommModemStatus (IOCTL_SERIAL_GET_MODEMSTATUS) and GetCommProperties
// (IOCTL_SERIAL_GET_PROPERTIES).
#include <cstddef>

#include "serial_request.h"

namespace tarvel::user {

namespace {

DWORD CommErrors(ULONG serialErrors) {
    DWORD errors = 0;
    if (serialErrors & SERIAL_ERROR_QUEUEOVERRUN) errors |= CE_RXOVER;
    if (serialErrors & SERIAL_ERROR_OVERRUN) errors |= CE_OVERRUN;
    if (serialErrors & SERIAL_ERROR_PARITY) errors |= CE_RXPARITY;
    if (serialErrors & SERIAL_ERROR_FRAMING) errors |= CE_FRAME;
    if (serialErrors & SERIAL_ERROR_BREAK) errors |= CE_BREAK;
    return errors;
}

} // namespace

static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status) {
    SERIAL_STATUS s{};
    if (!comm::GetRecord(file, IOCTL_SERIAL_GET_COMMSTATUS, &s)) return FALSE;
    if (errors != nullptr) *errors = CommErrors(s.Errors);
    if (status != nullptr) {
        *status = COMSTAT{};
        status->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        status->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        status->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        status->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        status->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        status->fEof = s.EofReceived != 0;
        status->fTxim = s.WaitForImmediate != 0;
        status->cbInQue = s.AmountInInQueue;
        status->cbOutQue = s.AmountInOutQueue;
    }
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    if (modemStatus == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return comm::GetRecord(file, IOCTL_SERIAL_GET_MODEMSTATUS, modemStatus);
}

// The caller may offer a larger record for provider-specific data: it says so with dwProvSpec1 set to
// COMMPROP_INITIALIZED and the record's size in wPacketLength. Otherwise the record is a COMMPROP.
BOOL GetCommProperties(HANDLE file, LPCOMMPROP properties) {
    if (properties == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = sizeof(COMMPROP);
    if (properties->dwProvSpec1 == COMMPROP_INITIALIZED) {
        if (properties->wPacketLength < sizeof(COMMPROP)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        size = properties->wPacketLength;
    }
    DWORD returned = 0;
    if (!comm::SerialRequest(file, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, properties, size, &returned))
        return FALSE;
    if (returned < offsetof(COMMPROP, wcProvChar)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

} // namespace tarvel::user
