// The kernel's record of what it did, delivered to a sink (the demonstration prints it; tests count
// it). Off unless a sink is set, so it costs one test per event otherwise.
#include "exec/engine.h"

namespace tarvel::kernel {
namespace {
std::function<void(const TraceEvent&)> gSink;
}

void SetTraceSink(std::function<void(const TraceEvent&)> sink) { gSink = std::move(sink); }
bool Tracing() { return static_cast<bool>(gSink); }

void Trace(std::string what) {
  if (!gSink) return;
  gSink(TraceEvent{Now(), CurrentThreadName(), std::move(what)});
}

}  // namespace tarvel::kernel
