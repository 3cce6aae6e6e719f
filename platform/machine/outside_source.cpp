#include "tarvel/machine/outside_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tarvel/kernel.h"

namespace tarvel::machine {

OutsideSource::OutsideSource() {
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
}

OutsideSource::~OutsideSource() {
    for (int fd : wake_)
        if (fd >= 0) ::close(fd);
}

void OutsideSource::Start() {
    if (started_) return;
    started_ = true;
    stopping_ = false;
    kernel::OpenExternalSource();
    {
        std::lock_guard lock(source_->mutex);
        source_->open = true;
    }
    thread_ = std::thread([this] { Loop(); });
}

void OutsideSource::Stop() {
    if (!started_) return;
    started_ = false;
    stopping_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    // What the host thread handed over is delivered before the source closes; nothing outside refers
    // to the machine afterwards.
    kernel::RunUntilIdle();
    source_->Close();
}

void OutsideSource::Wake() {
    if (wake_[1] < 0) return;
    const char byte = 'w';
    (void)!::write(wake_[1], &byte, 1); // a full pipe already wakes the thread
}

void OutsideSource::SourceState::Close() {
    std::lock_guard lock(mutex);
    if (!open) return;
    open = false;
    kernel::CloseExternalSource();
}

void OutsideSource::Loop() {
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(1, pollfd{wake_[0], POLLIN, 0});
        int timeout = -1;
        Watch(fds, timeout);
        const int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        if (stopping_) return;
        if (n < 0) continue;
        if (fds[0].revents != 0) {
            char drain[64];
            while (::read(wake_[0], drain, sizeof drain) > 0) {
            }
        }
        fds.erase(fds.begin());
        if (!Serve(fds)) break;
    }
    // The outside has nothing more to send, so an idle machine need not wait for it.
    kernel::Post([source = source_] { source->Close(); });
}

} // namespace tarvel::machine
