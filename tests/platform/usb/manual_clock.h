// A clock that tests of models and of the frame scheduler move by hand.
#pragma once

#include "usb/model/usb_types.h"

namespace tarvel::usb::test {

struct ManualClock : Clock {
    VirtualTime now = 0;
    VirtualTime Now() const override { return now; }
};

constexpr VirtualTime kMs = 10'000, kSec = 10'000'000;

}  // namespace tarvel::usb::test
