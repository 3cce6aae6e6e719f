// The request trace: every request that passes from tarvelport to tarvelpipe and from tarvelpipe to the
// USB bus driver, when it is sent and when it completes, in virtual time. The tracer stands in front of
// the dispatch routines of the pipe driver and of the bus driver, and watches each request's completion
// at the location it was sent to; the drivers see their requests exactly as without it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tarvel/kernel.h"

namespace tarvel::machine {

struct TracedRequest {
    kernel::VirtualTime time = 0;
    std::uint64_t number = 0;  // the same for a request's sending and its completion at that hop
    std::string from, to;      // "tarvelport" -> "tarvelpipe", "tarvelpipe" -> "usb bus"
    bool completion = false;
    std::string what;          // "IOCTL_PIPE_WRITE_BUFFERED \PIPE00 in 64", "-> STATUS_SUCCESS, 64 bytes"
};
using RequestTraceSink = std::function<void(const TracedRequest&)>;

// "  12.345678 #41   tarvelpipe -> usb bus       BULK_OR_INTERRUPT_TRANSFER ep 0x81 IN 64"
std::string FormatTracedRequest(const TracedRequest& request);

namespace trace {

// Loads tarvelpipe (the PnP manager then uses the loaded driver) and stands in front of its dispatch
// routines; the bus driver is joined when tarvelpipe's AddDevice meets its physical device. Called
// after Boot, before any adapter is plugged in.
void Start(RequestTraceSink sink);
// Stops tracing (requests in flight are no longer watched) and unloads tarvelpipe once it serves no
// device. Called before the kernel shuts down.
void Stop();
bool Active();

} // namespace trace

} // namespace tarvel::machine
