// The control codes the fuzzer sends to the port: every serial control code with the input and output
// size it needs, the port's two private codes, and random codes of the serial device type.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include <ntddk.h>
#include <ntddser.h>

namespace campaign {

struct ControlCode {
    ULONG code;
    ULONG minInput;   // bytes the request needs in its input buffer
    ULONG minOutput;  // bytes it needs in its output buffer
};

const std::vector<ControlCode>& KnownControlCodes();
// A code of the serial device type with a random function, method and access.
ULONG RandomSerialCode(std::mt19937_64& rng);
// The lengths worth trying around a minimum: 0, 1, below, at and above it, and a large one.
std::vector<ULONG> LengthsAround(ULONG minimum);

}  // namespace campaign
