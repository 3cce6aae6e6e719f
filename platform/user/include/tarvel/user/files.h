// Handles on devices and the file API: open, close, read, write, device control, overlapped I/O.
#pragma once

#include "tarvel/user/win32.h"

namespace tarvel::user {

// Opens a device: "\\.\NAME" and "\\?\NAME" are names under \DosDevices (COM3, a device interface's
// link); "COMn" alone means "\\.\COMn". Whatever follows the device's name ("\PIPE00") reaches the
// driver as the file name. Only OPEN_EXISTING opens a device.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
// Files: the cleanup request, then the close request once no request of the file is outstanding.
// Events: the event is gone.
BOOL CloseHandle(HANDLE handle);

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait);
// Cancels the requests the calling thread sent on the file and still outstanding, and waits until
// they have ended. Another thread's requests are left alone.
BOOL CancelIo(HANDLE file);
// Cancels the request of that OVERLAPPED, or with none every request outstanding on the file from any
// thread, and returns without waiting; ERROR_NOT_FOUND when there was none to cancel.
BOOL CancelIoEx(HANDLE file, LPOVERLAPPED overlapped);

} // namespace tarvel::user
