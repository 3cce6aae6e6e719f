#include "ke/debug_format.h"

#include <wdm.h>

#include <cstdio>
#include <cstring>

namespace tarvel::kernel::ke {
namespace {

// Wide characters are shown as their low byte where it is ASCII, '?' otherwise (debug output only).
void AppendWide(std::string& out, const WCHAR* text, std::size_t count) {
  for (std::size_t i = 0; i < count && text[i]; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
}

std::size_t WideLength(const WCHAR* text) {
  std::size_t n = 0;
  while (text[n]) ++n;
  return n;
}

}  // namespace

std::string FormatDebugString(const char* format, __builtin_ms_va_list arguments) {
  std::string out;
  __builtin_ms_va_list args;
  __builtin_ms_va_copy(args, arguments);
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    // Collect flags, width and precision as given; '*' takes an int argument.
    std::string directive = "%";
    ++p;
    while (*p && std::strchr("-+ #0", *p)) directive += *p++;
    for (int part = 0; part < 2; ++part) {
      if (part == 1) {
        if (*p != '.') break;
        directive += *p++;
      }
      if (*p == '*') {
        directive += std::to_string(va_arg(args, int));
        ++p;
      }
      while (*p >= '0' && *p <= '9') directive += *p++;
    }
    enum { kInt, kLong, kLongLong, kSize, kWide, kShort } size = kInt;
    if (std::strncmp(p, "I64", 3) == 0) size = kLongLong, p += 3;
    else if (std::strncmp(p, "ll", 2) == 0) size = kLongLong, p += 2;
    else if (*p == 'l') size = kLong, ++p;
    else if (*p == 'I' || *p == 'z') size = kSize, ++p;
    else if (*p == 'w') size = kWide, ++p;
    else if (*p == 'h') size = kShort, ++p;
    const char conversion = *p;
    if (!conversion) break;
    char buffer[128];
    switch (conversion) {
      case '%':
        out += '%';
        break;
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        const bool isSigned = conversion == 'd' || conversion == 'i';
        long long value;
        if (size == kLongLong || size == kSize) value = va_arg(args, long long);
        else if (isSigned) value = va_arg(args, int);
        else value = va_arg(args, unsigned int);
        if (size == kShort) value = isSigned ? static_cast<short>(value) : static_cast<unsigned short>(value);
        std::snprintf(buffer, sizeof buffer, (directive + "ll" + conversion).c_str(), value);
        out += buffer;
        break;
      }
      case 'p':
        std::snprintf(buffer, sizeof buffer, (directive + 'p').c_str(), va_arg(args, void*));
        out += buffer;
        break;
      case 'c':
      case 'C':
        if (size == kWide || size == kLong || conversion == 'C') {
          const WCHAR c = static_cast<WCHAR>(va_arg(args, int));
          AppendWide(out, &c, 1);
        } else {
          out += static_cast<char>(va_arg(args, int));
        }
        break;
      case 's':
      case 'S':
        if (size == kWide || size == kLong || conversion == 'S') {
          const WCHAR* text = va_arg(args, const WCHAR*);
          if (text) AppendWide(out, text, WideLength(text));
          else out += "(null)";
        } else {
          const char* text = va_arg(args, const char*);
          if (!text) text = "(null)";
          if (directive == "%") {
            out += text;
          } else {
            std::snprintf(buffer, sizeof buffer, (directive + 's').c_str(), text);
            out += buffer;
          }
        }
        break;
      case 'Z':
        if (size == kWide) {
          const UNICODE_STRING* text = va_arg(args, const UNICODE_STRING*);
          if (text && text->Buffer) AppendWide(out, text->Buffer, text->Length / sizeof(WCHAR));
          else out += "(null)";
        } else {
          const ANSI_STRING* text = va_arg(args, const ANSI_STRING*);
          if (text && text->Buffer) out.append(text->Buffer, text->Length);
          else out += "(null)";
        }
        break;
      default:
        out += directive + conversion;  // unknown conversion: shown as written
        break;
    }
  }
  __builtin_ms_va_end(args);
  return out;
}

}  // namespace tarvel::kernel::ke
