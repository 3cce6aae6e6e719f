#include "text.h"

namespace tarvel::machine {

std::string Narrow(const WCHAR* text, std::size_t length) {
    std::string s;
    for (std::size_t i = 0; text != nullptr && i < length && text[i] != 0; ++i)
        s += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    return s;
}

std::string Narrow(const UNICODE_STRING& text) { return Narrow(text.Buffer, text.Length / sizeof(WCHAR)); }

std::string DriverNameOf(PDRIVER_OBJECT driver) {
    if (driver == nullptr) return "(none)";
    std::string name = Narrow(driver->DriverName);
    const auto slash = name.find_last_of('\\');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

} // namespace tarvel::machine
