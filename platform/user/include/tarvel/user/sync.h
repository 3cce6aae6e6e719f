// Events and waits in virtual time.
#pragma once

#include "tarvel/user/win32.h"

namespace tarvel::user {

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCWSTR name);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// Events, and file handles (signalled when a request of the file completes). Milliseconds of virtual
// time; INFINITE waits without a limit.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

} // namespace tarvel::user
