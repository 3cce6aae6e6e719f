// The value records of ZwQueryValueKey and ZwEnumerateValueKey in the platform's layouts, with its
// rules for a buffer that is too small: below the fixed part STATUS_BUFFER_TOO_SMALL and nothing
// written; from the fixed part on the fixed part is filled, and if the name (and data) do not fit as
// well, STATUS_BUFFER_OVERFLOW with as much of the record as fits: the name's start, and the data's
// start where the buffer reaches past the data offset. ResultLength always receives the length of the
// whole record.
#pragma once

#include <wdm.h>

#include "registry/store.h"

namespace tarvel::registry {

NTSTATUS FillValueInformation(const Value& value, KEY_VALUE_INFORMATION_CLASS informationClass, void* buffer,
                              ULONG length, ULONG* resultLength);

}  // namespace tarvel::registry
