// Sending a request on a file the way the handle asks for: waiting for it on a synchronous handle, or
// leaving it in flight with the application's OVERLAPPED on an overlapped one.
#pragma once

#include "tarvel/io.h"
#include "handles.h"
#include "user_file.h"

namespace tarvel::user {

BOOL Issue(UserFile& file, io::FileRequest request, LPDWORD bytesTransferred, LPOVERLAPPED overlapped);

constexpr ACCESS_MASK kReadData = 0x0001, kWriteData = 0x0002; // FILE_READ_DATA, FILE_WRITE_DATA

// Whether the file was opened with the access a request needs.
bool Granted(const UserFile& file, ACCESS_MASK needed);

// The kernel event behind an event handle (nullptr for none); false if the handle is not an event. With
// keep, the caller also gets a reference that keeps the event alive after its handle is closed.
bool EventOf(HANDLE handle, PKEVENT* event, std::shared_ptr<EventObject>* keep = nullptr);

} // namespace tarvel::user
