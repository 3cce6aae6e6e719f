// Accounting and the pool free check of work items.
#pragma once

#include <cstddef>

namespace tarvel::io {
std::size_t LiveWorkItemCount();
// A free of pool memory that holds a queued (embedded) work item stops the run.
void CheckFreedMemoryForWorkItems(const char* routine, const void* begin, std::size_t size);
}  // namespace tarvel::io
