// The application side of the emulated machine: what a Windows application sees of the system, under
// the Win32 names and types. Every routine is called from an emulated thread (the test body after
// Boot, or a thread started with StartThread), as an application thread would call it.
#pragma once

#include "tarvel/user/win32.h"
#include "tarvel/user/files.h"
#include "tarvel/user/sync.h"
#include "tarvel/user/errors.h"
#include "tarvel/user/devices.h"
