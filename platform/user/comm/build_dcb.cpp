// BuildCommDCBA: a device-control string as the mode command takes it, into a DCB.
//
//   [COMn[:]] baud=B parity=N|E|O|M|S data=5..8 stop=1|1.5|2 xon=on|off odsr=on|off octs=on|off
//             dtr=on|off|hs rts=on|off|hs|tg idsr=on|off to=on|off
//   [COMn[:]] B[,P[,D[,S[,x|p]]]]          (the older form)
//
// The keyword form changes only the members it names ("to" concerns timeouts and changes nothing
// here). The older form also sets the flow control: none (DTR and RTS on), x (XON/XOFF) or p (DTR and
// RTS handshake, CTS and DSR obeyed). Two-digit rates are the mode command's abbreviations (96 is
// 9600), and 110 baud takes two stop bits unless the string says otherwise.
#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarvel/user/comm.h"

namespace tarvel::user {

namespace {

std::string Lower(std::string_view text) {
    std::string s(text);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::vector<std::string> Split(std::string_view text, std::string_view separators) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (separators.find(c) != std::string_view::npos) {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

std::string Trim(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

std::optional<DWORD> Baud(const std::string& text, bool abbreviations) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    DWORD value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<DWORD>(c - '0');
    }
    if (abbreviations) {
        switch (value) {
        case 11: return 110;
        case 15: return 150;
        case 30: return 300;
        case 60: return 600;
        case 12: return 1200;
        case 24: return 2400;
        case 48: return 4800;
        case 96: return 9600;
        case 19: return 19200;
        default: break;
        }
    }
    if (value == 0) return std::nullopt;
    return value;
}

std::optional<BYTE> ParityOf(const std::string& text) {
    if (text.size() != 1) return std::nullopt;
    switch (text[0]) {
    case 'n': return NOPARITY;
    case 'o': return ODDPARITY;
    case 'e': return EVENPARITY;
    case 'm': return MARKPARITY;
    case 's': return SPACEPARITY;
    default: return std::nullopt;
    }
}

std::optional<BYTE> DataBits(const std::string& text) {
    if (text.size() == 1 && text[0] >= '5' && text[0] <= '8') return static_cast<BYTE>(text[0] - '0');
    return std::nullopt;
}

std::optional<BYTE> StopBits(const std::string& text) {
    if (text == "1") return ONESTOPBIT;
    if (text == "1.5") return ONE5STOPBITS;
    if (text == "2") return TWOSTOPBITS;
    return std::nullopt;
}

std::optional<bool> OnOff(const std::string& text) {
    if (text == "on") return true;
    if (text == "off") return false;
    return std::nullopt;
}

void SetParity(DCB& dcb, BYTE parity) {
    dcb.Parity = parity;
    dcb.fParity = parity != NOPARITY;
}

bool ApplyKeyword(DCB& dcb, const std::string& key, const std::string& value, bool& stopGiven) {
    if (key == "baud") {
        auto baud = Baud(value, true);
        if (!baud) return false;
        dcb.BaudRate = *baud;
    } else if (key == "parity") {
        auto parity = ParityOf(value);
        if (!parity) return false;
        SetParity(dcb, *parity);
    } else if (key == "data") {
        auto bits = DataBits(value);
        if (!bits) return false;
        dcb.ByteSize = *bits;
    } else if (key == "stop") {
        auto stop = StopBits(value);
        if (!stop) return false;
        dcb.StopBits = *stop;
        stopGiven = true;
    } else if (key == "dtr") {
        if (value == "hs") dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        else if (auto on = OnOff(value)) dcb.fDtrControl = *on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        else return false;
    } else if (key == "rts") {
        if (value == "hs") dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (value == "tg") dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        else if (auto on = OnOff(value)) dcb.fRtsControl = *on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        else return false;
    } else {
        auto on = OnOff(value);
        if (!on) return false;
        if (key == "xon") dcb.fOutX = dcb.fInX = *on;
        else if (key == "odsr") dcb.fOutxDsrFlow = *on;
        else if (key == "octs") dcb.fOutxCtsFlow = *on;
        else if (key == "idsr") dcb.fDsrSensitivity = *on;
        else if (key != "to") return false;
    }
    return true;
}

bool ApplyKeywords(DCB& dcb, const std::string& text, bool& stopGiven) {
    for (const std::string& token : Split(text, " \t,")) {
        if (token.empty()) continue;
        const auto equals = token.find('=');
        if (equals == std::string::npos || !ApplyKeyword(dcb, token.substr(0, equals), token.substr(equals + 1), stopGiven))
            return false;
    }
    return true;
}

bool ApplyPositional(DCB& dcb, const std::string& text, bool& stopGiven) {
    const std::vector<std::string> fields = Split(text, ",");
    if (fields.size() > 5) return false;
    auto field = [&](std::size_t i) { return i < fields.size() ? Trim(fields[i]) : std::string(); };
    auto baud = Baud(field(0), true);
    if (!baud) return false;
    dcb.BaudRate = *baud;
    if (!field(1).empty()) {
        auto parity = ParityOf(field(1));
        if (!parity) return false;
        SetParity(dcb, *parity);
    }
    if (!field(2).empty()) {
        auto bits = DataBits(field(2));
        if (!bits) return false;
        dcb.ByteSize = *bits;
    }
    if (!field(3).empty()) {
        auto stop = StopBits(field(3));
        if (!stop) return false;
        dcb.StopBits = *stop;
        stopGiven = true;
    }
    const std::string flow = field(4);
    if (!flow.empty() && flow != "x" && flow != "p") return false;
    const bool hardware = flow == "p";
    dcb.fOutX = dcb.fInX = flow == "x";
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = hardware;
    dcb.fDtrControl = hardware ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

// Takes "COMn" or "COMn:" off the front.
std::string WithoutDeviceName(std::string text) {
    text = Trim(text);
    if (text.size() > 3 && text.compare(0, 3, "com") == 0 && std::isdigit(static_cast<unsigned char>(text[3]))) {
        std::size_t i = 3;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        if (i < text.size() && text[i] == ':') ++i;
        text = Trim(text.substr(i));
    }
    return text;
}

} // namespace

BOOL BuildCommDCBA(LPCSTR definition, LPDCB dcb) {
    if (definition == nullptr || dcb == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string text = WithoutDeviceName(Lower(definition));
    DCB result = *dcb;
    bool stopGiven = false;
    const bool ok = !text.empty() && (text.find('=') != std::string::npos ? ApplyKeywords(result, text, stopGiven)
                                                                          : ApplyPositional(result, text, stopGiven));
    if (!ok) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (result.BaudRate == 110 && !stopGiven) result.StopBits = TWOSTOPBITS;
    result.fBinary = 1;
    result.DCBlength = sizeof(DCB);
    *dcb = result;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace tarvel::user
