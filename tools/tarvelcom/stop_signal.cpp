#include "stop_signal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <initializer_list>

namespace tarvelcom {

namespace {

int gPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 's';
    (void)!::write(gPipe[1], &byte, 1);
}

} // namespace

int StopSignalDescriptor() {
    if (gPipe[0] >= 0) return gPipe[0];
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return gPipe[0] = gPipe[1] = -1;
    struct sigaction action{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
    return gPipe[0];
}

} // namespace tarvelcom
