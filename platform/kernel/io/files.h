// File objects of opens (application handles and IoGetDeviceObjectPointer): a file object holds a
// reference on the device it was opened on; it is closed (IRP_MJ_CLOSE) when its handle is closed and
// no request or object reference refers to it any more.
#pragma once

#include <wdm.h>

namespace tarvel::io {

bool IsFileObject(const void* object);
void ReferenceFile(PFILE_OBJECT file);
void DereferenceFile(PFILE_OBJECT file, bool fromCompletion = false);
void ResetFiles();

}  // namespace tarvel::io
