// A status as the platform's debugger and the verifier's messages print it: eight hex digits, so
// that 0xC0000010 reads as the NTSTATUS it is rather than as a negative number.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace tarvel::kernel {

inline std::string StatusText(std::int32_t status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace tarvel::kernel
