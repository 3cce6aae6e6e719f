// Names of dispatcher objects in hang reports.
#include <cstdio>

#include "ke/dispatcher.h"

namespace tarvel::kernel::ke {
namespace {

const char* TypeName(UCHAR type) {
  switch (type) {
    case kEventNotificationObject: return "notification event";
    case kEventSynchronizationObject: return "synchronization event";
    case kMutantObject: return "mutex";
    case kSemaphoreObject: return "semaphore";
    case kTimerNotificationObject: return "notification timer";
    case kTimerSynchronizationObject: return "synchronization timer";
    default: return "object";
  }
}

std::string Describe(const void* object) {
  const auto* header = static_cast<const DISPATCHER_HEADER*>(object);
  char text[128];
  std::snprintf(text, sizeof text, "%s %p (%s)", TypeName(header->Type), object,
                header->SignalState > 0 ? "signaled" : "not signaled");
  return text;
}

const bool gInstalled = (exec::SetWaitObjectDescriber(Describe), true);

}  // namespace
}  // namespace tarvel::kernel::ke
