// Accounting of the MDLs that IoAllocateMdl handed out.
#pragma once

#include <cstddef>

namespace tarvel::io {
std::size_t LiveMdlCount();
}  // namespace tarvel::io
