// Application paths and the names the object namespace resolves.
#pragma once

#include <string>

#include "tarvel/user/win32.h"

namespace tarvel::user {

// "COMn" and "LPTn" alone are devices wherever they appear, as on the platform: they mean "\\.\COMn".
// Every other path is handed to the namespace as it stands ("\\.\COM3", "\\?\usb#...{guid}\PIPE00").
std::string DevicePath(const std::string& path);

std::string Narrow(LPCWSTR text); // UTF-16 to UTF-8
std::string Win32InterfacePath(const std::string& linkName); // "\??\x" -> "\\?\x"

} // namespace tarvel::user
