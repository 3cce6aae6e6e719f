// Hardware-key values as a run sets them: built, parsed from "Name=Value" and shown to people.
#include <cctype>
#include <charconv>
#include <cstring>

#include "tarvel/machine/request_names.h"
#include "tarvel/machine/machine.h"

namespace tarvel::machine {

namespace {

std::vector<std::uint8_t> Utf16(const std::string& text) {
    std::vector<std::uint8_t> data;
    for (unsigned char c : text) {
        data.push_back(c);
        data.push_back(0);
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::optional<ULONG> Number(std::string text) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text = text.substr(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text = text.substr(2);
    }
    if (text.empty() || (negative && base == 16)) return std::nullopt;
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (negative ? value > 0x80000000ull : value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<ULONG>(negative ? 0u - static_cast<ULONG>(value) : static_cast<ULONG>(value));
}

bool LooksNumeric(const std::string& text) {
    return !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-');
}

} // namespace

std::string DefaultInfPath() { return TARVEL_PACKAGE_INF; }

io::RegistryValue DwordValue(std::string name, ULONG value) {
    io::RegistryValue v;
    v.name = std::move(name);
    v.type = REG_DWORD;
    v.data.resize(4);
    std::memcpy(v.data.data(), &value, 4);
    return v;
}

io::RegistryValue StringValue(std::string name, const std::string& text) {
    io::RegistryValue v;
    v.name = std::move(name);
    v.type = REG_SZ;
    v.data = Utf16(text);
    return v;
}

std::optional<io::RegistryValue> ParseSetting(const std::string& text, std::string* error) {
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        if (error) *error = "'" + text + "' is not Name=Value";
        return std::nullopt;
    }
    const std::string name = text.substr(0, equals), value = text.substr(equals + 1);
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            if (error) *error = "'" + name + "' is not a registry value name";
            return std::nullopt;
        }
    }
    // Something that starts like a number must be one: "12x" is a typo, not a string.
    if (LooksNumeric(value)) {
        auto number = Number(value);
        if (!number) {
            if (error) *error = "'" + value + "' is not a 32-bit number";
            return std::nullopt;
        }
        return DwordValue(name, *number);
    }
    return StringValue(name, value);
}

std::string DescribeValue(const io::RegistryValue& value) {
    switch (value.type) {
    case REG_DWORD: {
        const ULONG v = value.AsDword();
        return v >= 0x10000 ? Hex(v) : std::to_string(v);
    }
    case REG_SZ:
    case REG_EXPAND_SZ: return "\"" + value.AsString() + "\"";
    case REG_MULTI_SZ: {
        std::string text, current;
        for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
            const unsigned c = value.data[i] | (value.data[i + 1] << 8);
            if (c == 0) {
                if (current.empty()) break;
                text += (text.empty() ? "" : ", ") + current;
                current.clear();
            } else {
                current += c < 0x80 ? static_cast<char>(c) : '?';
            }
        }
        return text;
    }
    default: return std::to_string(value.data.size()) + " bytes";
    }
}

} // namespace tarvel::machine
