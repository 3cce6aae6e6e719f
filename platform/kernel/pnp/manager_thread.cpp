#include "pnp/manager_thread.h"

#include "pnp/boot.h"

#include <ntddk.h>

#include <cstring>
#include <iterator>

#include "tarvel/kernel.h"

namespace tarvel::pnp {

void ManagerThread::Queue(std::function<void()> work) {
    queue_.push_back(std::move(work));
    if (running_) return;
    running_ = true;
    kernel::StartThread(name_, [this] { Drain(); });
}

void ManagerThread::Drain() {
    while (!queue_.empty()) {
        auto work = std::move(queue_.front());
        queue_.pop_front();
        ++depth_;
        work();
        --depth_;
    }
    running_ = false;
}

void ManagerThread::ReleaseHeld() {
    if (held_.empty()) return;
    queue_.insert(queue_.begin(), std::make_move_iterator(held_.begin()), std::make_move_iterator(held_.end()));
    held_.clear();
    if (running_) return;
    running_ = true;
    kernel::StartThread(name_, [this] { Drain(); });
}

bool ManagerThread::OnThisThread() const {
    return depth_ > 0 && std::strcmp(kernel::CurrentThreadName(), name_) == 0;
}

void ManagerThread::Run(const std::function<void()>& work) {
    if (OnThisThread()) {
        work();
        return;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Queue([&work, &done] {
        work();
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
}

void ManagerThread::Reset() {
    queue_.clear();
    held_.clear();
    running_ = false;
    depth_ = 0;
}

void ResetManagerThreads() {
    PnpThread().Reset();
}

ManagerThread& PnpThread() {
    static ManagerThread thread("pnp");
    return thread;
}


} // namespace tarvel::pnp
