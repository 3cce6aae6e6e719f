#include "ke/apc.h"

#include <deque>
#include <map>
#include <utility>

#include "ke/dispatcher.h"

namespace tarvel::kernel::ke {
namespace {

std::map<exec::Thread*, std::deque<std::function<void()>>> gPending;

// Runs routine on the running thread at APC_LEVEL, or at its IRQL if that is higher (a DPC or a
// completion routine that finishes a request for a thread at PASSIVE_LEVEL).
void Run(const std::function<void()>& routine) {
  exec::Thread* self = exec::Current();
  const unsigned char irql = self->irql;
  if (irql < APC_LEVEL) exec::SetIrql(self, APC_LEVEL);
  routine();
  exec::SetIrql(self, irql);
}

void Boot() { gPending.clear(); }
const exec::ComponentRegistration gRegistration{{"apc", Boot, nullptr}};

}  // namespace

void QueueSpecialApc(exec::Thread* thread, std::function<void()> routine) {
  if (thread->state == exec::Thread::State::Finished || thread->irql == PASSIVE_LEVEL) {
    Run(routine);
    return;
  }
  gPending[thread].push_back(std::move(routine));
}

void DeliverApcs() {
  exec::Thread* self = exec::Current();
  if (self == nullptr || self->irql != PASSIVE_LEVEL) return;
  auto it = gPending.find(self);
  if (it == gPending.end()) return;
  while (!it->second.empty()) {
    std::function<void()> routine = std::move(it->second.front());
    it->second.pop_front();
    Run(routine);
  }
  gPending.erase(self);
}

}  // namespace tarvel::kernel::ke
