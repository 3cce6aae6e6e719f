// The event mask and waiting for events: IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK and
// IOCTL_SERIAL_WAIT_ON_MASK. The EV_* bits are the driver's SERIAL_EV_* bits.
#include "serial_request.h"

namespace tarvel::user {

static_assert(EV_RXCHAR == SERIAL_EV_RXCHAR && EV_TXEMPTY == SERIAL_EV_TXEMPTY && EV_RING == SERIAL_EV_RING &&
              EV_RX80FULL == SERIAL_EV_RX80FULL && EV_EVENT2 == SERIAL_EV_EVENT2);

BOOL SetCommMask(HANDLE file, DWORD eventMask) {
    return comm::SetRecord(file, IOCTL_SERIAL_SET_WAIT_MASK, eventMask);
}

BOOL GetCommMask(HANDLE file, LPDWORD eventMask) {
    if (eventMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return comm::GetRecord(file, IOCTL_SERIAL_GET_WAIT_MASK, eventMask);
}

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped) {
    if (eventMask == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (overlapped == nullptr) return comm::SerialRequest(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, eventMask, 4);
    // The application's own OVERLAPPED: the mask arrives in *eventMask when the wait completes.
    DWORD returned = 0;
    return DeviceIoControl(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, eventMask, sizeof(DWORD), &returned,
                           overlapped);
}

} // namespace tarvel::user
