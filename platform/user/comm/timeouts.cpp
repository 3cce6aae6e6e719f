// GetCommTimeouts and SetCommTimeouts: COMMTIMEOUTS is SERIAL_TIMEOUTS field for field.
#include "serial_request.h"

namespace tarvel::user {

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS));

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SERIAL_TIMEOUTS t{};
    if (!comm::GetRecord(file, IOCTL_SERIAL_GET_TIMEOUTS, &t)) return FALSE;
    *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const SERIAL_TIMEOUTS t{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                            timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                            timeouts->WriteTotalTimeoutConstant};
    return comm::SetRecord(file, IOCTL_SERIAL_SET_TIMEOUTS, t);
}

} // namespace tarvel::user
