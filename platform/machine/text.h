// Text of the platform's 16-bit strings and names for reports.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <string>

namespace tarvel::machine {

// 16-bit characters to UTF-8 (names here are ASCII; anything wider is shown as '?').
std::string Narrow(const WCHAR* text, std::size_t length);
std::string Narrow(const UNICODE_STRING& text);
// "tarvelpipe" for the driver object "\Driver\tarvelpipe".
std::string DriverNameOf(PDRIVER_OBJECT driver);

} // namespace tarvel::machine
