// Work handed in from host threads outside the machine (a console reader, a benchmark driver): it runs
// on the emulated thread "post", in the order it was posted.
#include "exec/machine.h"

namespace tarvel::kernel::exec {

void RunPostedWork() {
  Machine& m = TheMachine();
  for (;;) {
    std::function<void()> work;
    {
      std::lock_guard lock(BatonMutex());
      if (!m.posted.empty()) {
        work = std::move(m.posted.front());
        m.posted.pop_front();
      }
      m.postedPending = !m.posted.empty();
    }
    if (work) {
      RunDriverCallback("posted work", nullptr, work);
      continue;
    }
    if (m.stopping) return;
    Current()->wait = WaitFor("posted work", "Post", true);
    Block();
  }
}

}  // namespace tarvel::kernel::exec

namespace tarvel::kernel {
using namespace exec;

void Post(std::function<void()> fn) {
  if (!Booted()) VerifierStop("work posted to a machine that is not booted", "Post", nullptr);
  Machine& m = TheMachine();
  {
    std::lock_guard lock(BatonMutex());
    m.posted.push_back(std::move(fn));
    m.postedPending = true;
  }
  m.postedArrived.notify_all();
  if (InEmulatedThread()) {
    SwitchPoint();
    Thread* post = m.postThread;
    if (post->state == Thread::State::Blocked && post->wait.idle) Wake(post, 0);
  }
}

void OpenExternalSource() {
  if (!InEmulatedThread()) VerifierStop("kernel routine called outside the machine", "OpenExternalSource", nullptr);
  Machine& m = TheMachine();
  std::lock_guard lock(BatonMutex());
  if (m.externalSources++ == 0) {
    m.paceAnchorReal = std::chrono::steady_clock::now();
    m.paceAnchorVirtual = m.now;
  }
}

void CloseExternalSource() {
  Machine& m = TheMachine();
  {
    std::lock_guard lock(BatonMutex());
    if (m.externalSources > 0) --m.externalSources;
  }
  m.postedArrived.notify_all();
}

}  // namespace tarvel::kernel
