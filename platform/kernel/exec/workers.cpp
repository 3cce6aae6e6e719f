// System worker threads: the queues behind work items. Each queue has a few threads, as the platform
// has, so that a work item that waits for another work item of the same queue does not hang at once.
#include <wdm.h>

#include <array>

#include "exec/machine.h"

namespace tarvel::kernel::exec {
namespace {

struct WorkerQueue {
  const char* name;
  unsigned threads;
  std::deque<std::function<void()>> items;
  std::vector<Thread*> workers;
};

std::array<WorkerQueue, 3> gQueues{{{"critical", 3, {}, {}}, {"delayed", 2, {}, {}}, {"hypercritical", 1, {}, {}}}};

WorkerQueue& QueueOf(WorkQueue q) { return gQueues[static_cast<std::size_t>(q)]; }

void WorkerLoop(WorkerQueue& queue) {
  for (;;) {
    if (!queue.items.empty()) {
      auto work = std::move(queue.items.front());
      queue.items.pop_front();
      RunDriverCallback("work item", nullptr, work);
      continue;
    }
    if (Stopping()) return;
    Current()->wait = WaitFor("work", "system worker", true);
    Block();
  }
}

void BootWorkers() {
  for (WorkerQueue& queue : gQueues) {
    queue.items.clear();
    queue.workers.clear();
    for (unsigned i = 0; i < queue.threads; ++i)
      queue.workers.push_back(StartSystemThread(std::string("worker.") + queue.name + "." + std::to_string(i),
                                                [&queue] { WorkerLoop(queue); }));
  }
}

void ShutdownWorkers() {
  for (WorkerQueue& queue : gQueues) {
    if (!queue.items.empty())
      std::fprintf(stderr, "tarvel: %zu work items of the %s queue never ran\n", queue.items.size(), queue.name);
  }
}

const ComponentRegistration gRegistration{{"workers", BootWorkers, ShutdownWorkers}};

}  // namespace
}  // namespace tarvel::kernel::exec

namespace tarvel::kernel {
using namespace exec;

void QueueWork(WorkQueue q, std::function<void()> work) {
  SwitchPoint();
  WorkerQueue& queue = QueueOf(q);
  queue.items.push_back(std::move(work));
  for (Thread* worker : queue.workers) {
    if (worker->state == Thread::State::Blocked && worker->wait.idle) {
      Wake(worker, 0);
      return;
    }
  }
}

}  // namespace tarvel::kernel

// The executive's own work items (ExQueueWorkItem): the item lives in the caller's memory and may be
// reused once its routine runs.
extern "C" VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  using namespace tarvel::kernel;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    VerifierStop("work item queued above DISPATCH_LEVEL", "ExQueueWorkItem", WorkItem);
  const WorkQueue queue = QueueType == CriticalWorkQueue       ? WorkQueue::Critical
                          : QueueType == HyperCriticalWorkQueue ? WorkQueue::HyperCritical
                                                                : WorkQueue::Delayed;
  PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
  PVOID parameter = WorkItem->Parameter;
  QueueWork(queue, [routine, parameter] { routine(parameter); });
}
