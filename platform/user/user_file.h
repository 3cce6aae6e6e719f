// A file that an application opened on a device, with what the application side keeps about it
// beside the I/O manager's file object.
#pragma once

#include "tarvel/user/win32.h"

namespace tarvel::user {

struct UserFile {
    PFILE_OBJECT object = nullptr;
    PDEVICE_OBJECT device = nullptr; // the device the path named (the PnP manager counts handles by it)
    bool overlapped = false;         // opened with FILE_FLAG_OVERLAPPED
    ACCESS_MASK access = 0;          // granted at open
    unsigned inFlight = 0;           // requests sent and not finished
    KEVENT finished;                 // set whenever one of them finishes
};

} // namespace tarvel::user
