// Remove locks keep their per-tag bookkeeping on the side; a device's memory takes its locks' records
// with it.
#pragma once

#include <cstddef>

namespace tarvel::io {
void ForgetRemoveLocksIn(const void* begin, std::size_t size);
}  // namespace tarvel::io
