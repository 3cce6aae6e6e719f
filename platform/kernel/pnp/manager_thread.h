// The emulated thread on which the PnP manager sends its requests, and the power manager its system
// transitions (which must not meet a stack that is being built or taken down). Work is queued and
// done in order, one item at a time, at PASSIVE_LEVEL; the thread exists only while there is work,
// so an idle manager never looks like a hang.
#pragma once

#include <deque>
#include <functional>

namespace tarvel::pnp {

class ManagerThread {
  public:
    explicit ManagerThread(const char* name) : name_(name) {}

    // Queues work and returns at once.
    void Queue(std::function<void()> work);
    // Queues work and waits until it has been done. On the manager's own thread it runs at once.
    void Run(const std::function<void()>& work);
    // Waits until everything queued so far has been done (work held back does not count).
    void WaitForIdle() { Run([] {}); }
    // Puts work that is running now aside until ReleaseHeld, which queues it again ahead of the rest,
    // in the order it was held. On the manager's own thread only.
    void Hold(std::function<void()> work) { held_.push_back(std::move(work)); }
    void ReleaseHeld();
    bool OnThisThread() const;
    // Forgets queued work and the thread (a new boot has neither).
    void Reset();

  private:
    void Drain();

    const char* name_;
    std::deque<std::function<void()>> queue_;
    std::deque<std::function<void()>> held_;
    bool running_ = false;
    unsigned depth_ = 0; // > 0 while the thread runs work
};

ManagerThread& PnpThread();

} // namespace tarvel::pnp
