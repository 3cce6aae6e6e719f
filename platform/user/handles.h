// The application's handle table: files opened on devices and events.
#pragma once

#include <memory>

#include "user_file.h"

namespace tarvel::user {

struct EventObject {
    KEVENT event;
};

struct HandleEntry {
    UserFile* file = nullptr;           // a file handle, or
    // An event handle. Requests in flight share it, as the object manager keeps an event referenced by
    // the requests that will signal it: closing the handle early must not free it under them.
    std::shared_ptr<EventObject> event;
};

HANDLE InsertHandle(HandleEntry entry);
// nullptr for a handle that is not open.
HandleEntry* LookupHandle(HANDLE handle);
// The file behind a file handle; nullptr (and ERROR_INVALID_HANDLE as the last error) otherwise.
UserFile* LookupFile(HANDLE handle);
// Takes the entry out of the table; empty if the handle was not open.
HandleEntry RemoveHandle(HANDLE handle);

} // namespace tarvel::user
