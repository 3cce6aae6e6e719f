// Special kernel APCs: work that must run in a given thread's context, as the I/O manager's final
// stage of a request it built (status block, event, freeing) runs in the thread that issued it.
// Private to the emulated kernel.
#pragma once

#include <functional>

namespace tarvel::kernel::exec {
struct Thread;
}

namespace tarvel::kernel::ke {

// Runs routine at APC_LEVEL in thread's context once thread is at PASSIVE_LEVEL. A thread at
// PASSIVE_LEVEL gets it at once: the caller itself, or a thread that is switched out or waiting (the
// platform interrupts even a non-alertable wait for a special kernel APC; nothing of the thread runs in
// between, so running it here is the same). A thread at APC_LEVEL or above gets it when it lowers its
// IRQL to PASSIVE_LEVEL; one that waits at APC_LEVEL never does, as on the platform.
void QueueSpecialApc(exec::Thread* thread, std::function<void()> routine);
// Runs the running thread's queued APCs if it is at PASSIVE_LEVEL.
void DeliverApcs();

}  // namespace tarvel::kernel::ke
