// Reads, writes, device control and flush on a file handle.
#include "failure.h"
#include "handles.h"
#include "transfer.h"
#include "tarvel/user/files.h"

namespace tarvel::user {

namespace {

// A file opened for overlapped I/O needs an OVERLAPPED with every request, as on the platform.
UserFile* FileFor(HANDLE handle, LPOVERLAPPED overlapped) {
    UserFile* file = LookupFile(handle);
    if (file != nullptr && file->overlapped && overlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return file;
}

BOOL ReadOrWrite(HANDLE handle, void* buffer, DWORD length, LPDWORD bytes, LPOVERLAPPED overlapped, bool read) {
    if (bytes != nullptr) *bytes = 0;
    UserFile* file = FileFor(handle, overlapped);
    if (file == nullptr) return FALSE;
    if (!Granted(*file, read ? kReadData : kWriteData)) return FailWithError(ERROR_ACCESS_DENIED);
    if (buffer == nullptr && length > 0) return FailWithError(ERROR_INVALID_USER_BUFFER);
    io::FileRequest request;
    request.majorFunction = read ? IRP_MJ_READ : IRP_MJ_WRITE;
    request.buffer = buffer;
    request.length = length;
    return Issue(*file, std::move(request), bytes, overlapped);
}

} // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
    return ReadOrWrite(file, buffer, bytesToRead, bytesRead, overlapped, true);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped) {
    return ReadOrWrite(file, const_cast<void*>(buffer), bytesToWrite, bytesWritten, overlapped, false);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize, LPVOID outBuffer,
                     DWORD outBufferSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    UserFile* file = FileFor(device, overlapped);
    if (file == nullptr) return FALSE;
    // The access the control code asks for (FILE_READ_ACCESS, FILE_WRITE_ACCESS) must have been granted.
    const DWORD access = (ioControlCode >> 14) & 3;
    if (!Granted(*file, (access & 1 ? kReadData : 0) | (access & 2 ? kWriteData : 0)))
        return FailWithError(ERROR_ACCESS_DENIED);
    if ((inBuffer == nullptr && inBufferSize > 0) || (outBuffer == nullptr && outBufferSize > 0))
        return FailWithError(ERROR_INVALID_USER_BUFFER);
    io::FileRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.ioControlCode = ioControlCode;
    request.inputBuffer = inBuffer;
    request.inputLength = inBufferSize;
    request.outputBuffer = outBuffer;
    request.outputLength = outBufferSize;
    return Issue(*file, std::move(request), bytesReturned, overlapped);
}

BOOL FlushFileBuffers(HANDLE handle) {
    UserFile* file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    if (!Granted(*file, kWriteData)) return FailWithError(ERROR_ACCESS_DENIED);
    io::FileRequest request;
    request.majorFunction = IRP_MJ_FLUSH_BUFFERS;
    // Waited for on overlapped handles too: the call returns when the data has left.
    const IO_STATUS_BLOCK result = io::SendFileRequestAndWait(file->object, std::move(request));
    if (!NT_SUCCESS(result.Status)) return FailWith(result.Status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace tarvel::user
