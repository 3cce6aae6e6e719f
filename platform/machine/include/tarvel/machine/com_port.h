// The application's usual set-up of one of the machine's COM ports, shared by the programs that drive
// the port through the communications API.
#pragma once

#include "tarvel/user/comm.h"

namespace tarvel::machine {

// 8 data bits, no parity, one stop bit, binary, no flow control, DTR and RTS on, at `baud`, with
// `timeouts`. False if the port refuses any of it.
bool ConfigureComPort(HANDLE port, DWORD baud, const user::COMMTIMEOUTS& timeouts);

}  // namespace tarvel::machine
