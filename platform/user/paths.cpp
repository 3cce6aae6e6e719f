#include "paths.h"

#include <cctype>

namespace tarvel::user {

namespace {

bool IsReservedDeviceName(const std::string& path) {
    if (path.size() < 4 || path.size() > 6) return false;
    std::string prefix;
    for (int i = 0; i < 3; ++i) prefix.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(path[i]))));
    if (prefix != "COM" && prefix != "LPT") return false;
    for (std::size_t i = 3; i < path.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(path[i]))) return false;
    return path[3] != '0';
}

} // namespace

std::string DevicePath(const std::string& path) {
    return IsReservedDeviceName(path) ? "\\\\.\\" + path : path;
}

std::string Narrow(LPCWSTR text) {
    std::string out;
    for (const WCHAR* c = text; *c != 0; ++c) {
        char32_t code = static_cast<char16_t>(*c);
        if (code >= 0xD800 && code < 0xDC00 && c[1] >= 0xDC00 && c[1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char16_t>(c[1]) - 0xDC00);
            ++c;
        }
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return out;
}

std::string Win32InterfacePath(const std::string& linkName) {
    if (linkName.rfind("\\??\\", 0) == 0) return "\\\\?\\" + linkName.substr(4);
    return linkName;
}

} // namespace tarvel::user
