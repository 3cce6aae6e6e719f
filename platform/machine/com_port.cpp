#include "tarvel/machine/com_port.h"

namespace tarvel::machine {

bool ConfigureComPort(HANDLE port, DWORD baud, const user::COMMTIMEOUTS& timeouts) {
    user::DCB dcb{};
    if (!user::GetCommState(port, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = 0;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!user::SetCommState(port, &dcb)) return false;
    user::COMMTIMEOUTS copy = timeouts;
    return user::SetCommTimeouts(port, &copy) != FALSE;
}

}  // namespace tarvel::machine
