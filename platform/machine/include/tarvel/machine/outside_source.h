// A host thread that watches descriptors outside the machine (a console, a socket, a pseudo-terminal)
// and hands what it finds in through kernel::Post. While it runs the kernel counts it as an outside
// source: virtual time keeps in step with real time, so timeouts last as long as they say, and a machine
// with nothing to do waits for the outside instead of reporting a hang.
#pragma once

#include <poll.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvel::machine {

class OutsideSource {
public:
    OutsideSource(const OutsideSource&) = delete;
    OutsideSource& operator=(const OutsideSource&) = delete;

    // On an emulated thread. Stop joins the host thread, lets the work it posted run, and closes the
    // source; a derived class calls it in its destructor, before its own members go.
    void Start();
    void Stop();
    // From any thread: look at Watch again now (what to watch, or for how long, has changed).
    void Wake();

protected:
    OutsideSource();
    virtual ~OutsideSource();

    // On the host thread: appends the descriptors to watch now, with their events, and sets the longest wait in
    // milliseconds (-1: no limit).
    virtual void Watch(std::vector<pollfd>& fds, int& timeoutMilliseconds) = 0;
    // On the host thread, after the wait, with the results in fds (all revents 0 after a timeout).
    // False when the outside has nothing more to send.
    virtual bool Serve(const std::vector<pollfd>& fds) = 0;

private:
    void Loop();
    // Whether the kernel still counts the source; shared with work posted to close it, which may run
    // after this object is gone.
    struct SourceState {
        std::mutex mutex;
        bool open = false;
        void Close();
    };

    std::thread thread_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    bool started_ = false;
    std::shared_ptr<SourceState> source_ = std::make_shared<SourceState>();
};

} // namespace tarvel::machine
