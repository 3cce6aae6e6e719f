// The emulated machine's pool is finite, as a real machine's is: each pool type (nonpaged, paged)
// holds at most its capacity at once, and an allocation that would take it past that fails (NULL), as
// ExAllocatePoolWithTag does on Windows when the pool is exhausted. A size an application chose (a queue
// size of 3 GB) then fails in the driver instead of taking the host's memory.
#pragma once

#include <cstddef>

namespace tarvel::kernel {

// Each pool type's capacity after boot: a small machine's, ample for drivers that size their buffers
// for a serial line.
inline constexpr std::size_t kPoolCapacity = std::size_t{128} << 20;
// Sets each pool type's capacity until the next boot (for a test that fills the pool).
void SetPoolCapacity(std::size_t bytes);

}  // namespace tarvel::kernel
