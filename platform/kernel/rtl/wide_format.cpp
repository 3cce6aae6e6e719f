#include "rtl/wide_format.h"

#include "rtl/wide.h"

namespace tarvel::rtl {
namespace {

struct Directive {
  bool left = false, plus = false, space = false, alternate = false, zero = false;
  int width = 0;
  int precision = -1;
  enum class Size { Default, Short, Long, LongLong, Pointer } size = Size::Default;
  bool wide = true;  // %s / %c in a wide function
  bool wideExplicit = false;
  bool narrowExplicit = false;
};

void Pad(std::u16string& out, int count, char16_t c) {
  for (int i = 0; i < count; ++i) out.push_back(c);
}

void EmitField(std::u16string& out, const Directive& directive, std::u16string_view prefix, std::u16string_view body,
               bool numeric) {
  const int length = static_cast<int>(prefix.size() + body.size());
  const int fill = directive.width > length ? directive.width - length : 0;
  if (directive.left) {
    out += prefix;
    out += body;
    Pad(out, fill, u' ');
  } else if (directive.zero && numeric && directive.precision < 0) {
    out += prefix;
    Pad(out, fill, u'0');
    out += body;
  } else {
    Pad(out, fill, u' ');
    out += prefix;
    out += body;
  }
}

void EmitInteger(std::u16string& out, const Directive& directive, unsigned long long magnitude, bool negative,
                 unsigned base, bool upper, bool isSigned) {
  std::u16string digits;
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  while (magnitude != 0) {
    digits.insert(digits.begin(), static_cast<char16_t>(set[magnitude % base]));
    magnitude /= base;
  }
  const bool zeroValue = digits.empty();
  if (directive.precision < 0 && zeroValue) digits = u"0";
  while (directive.precision >= 0 && static_cast<int>(digits.size()) < directive.precision) digits.insert(digits.begin(), u'0');
  std::u16string prefix;
  if (negative) prefix = u"-";
  else if (isSigned && directive.plus) prefix = u"+";
  else if (isSigned && directive.space) prefix = u" ";
  if (directive.alternate && !zeroValue) {
    if (base == 16) prefix += upper ? u"0X" : u"0x";
    else if (base == 8 && digits.front() != u'0') prefix += u"0";
  }
  EmitField(out, directive, prefix, digits, true);
}

}  // namespace

std::u16string FormatWide(const WCHAR* format, __builtin_ms_va_list args) {
  std::u16string out;
  if (format == nullptr) return out;
  const WCHAR* p = format;
  while (*p != 0) {
    if (*p != '%') {
      out.push_back(static_cast<char16_t>(*p++));
      continue;
    }
    const WCHAR* start = p++;
    Directive directive;
    for (;; ++p) {
      if (*p == '-') directive.left = true;
      else if (*p == '+') directive.plus = true;
      else if (*p == ' ') directive.space = true;
      else if (*p == '#') directive.alternate = true;
      else if (*p == '0') directive.zero = true;
      else break;
    }
    if (*p == '*') {
      directive.width = va_arg(args, int);
      if (directive.width < 0) {
        directive.left = true;
        directive.width = -directive.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') directive.width = directive.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      directive.precision = 0;
      if (*p == '*') {
        directive.precision = va_arg(args, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') directive.precision = directive.precision * 10 + (*p++ - '0');
      }
    }
    // Size prefixes.
    if (*p == 'h') {
      ++p;
      directive.size = Directive::Size::Short;
      directive.narrowExplicit = true;
    } else if (*p == 'l') {
      ++p;
      if (*p == 'l') {
        ++p;
        directive.size = Directive::Size::LongLong;
      } else {
        directive.size = Directive::Size::Long;
        directive.wideExplicit = true;
      }
    } else if (*p == 'w') {
      ++p;
      directive.wideExplicit = true;
    } else if (*p == 'I') {
      if (p[1] == '6' && p[2] == '4') {
        p += 3;
        directive.size = Directive::Size::LongLong;
      } else if (p[1] == '3' && p[2] == '2') {
        p += 3;
        directive.size = Directive::Size::Long;
      } else {
        ++p;
        directive.size = Directive::Size::Pointer;
      }
    } else if (*p == 'z' || *p == 'j' || *p == 't') {
      ++p;
      directive.size = Directive::Size::Pointer;
    }
    const WCHAR conversion = *p;
    if (conversion == 0) {  // a lone '%' at the end is copied as it stands
      for (const WCHAR* q = start; q < p; ++q) out.push_back(static_cast<char16_t>(*q));
      break;
    }
    ++p;
    switch (conversion) {
      case 'd':
      case 'i': {
        long long v;
        if (directive.size == Directive::Size::LongLong || directive.size == Directive::Size::Pointer) v = va_arg(args, long long);
        else v = va_arg(args, int);
        if (directive.size == Directive::Size::Short) v = static_cast<short>(v);
        const bool negative = v < 0;
        const unsigned long long magnitude =
            negative ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        EmitInteger(out, directive, magnitude, negative, 10, false, true);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        unsigned long long v;
        if (directive.size == Directive::Size::LongLong || directive.size == Directive::Size::Pointer) v = va_arg(args, unsigned long long);
        else v = va_arg(args, unsigned int);
        if (directive.size == Directive::Size::Short) v = static_cast<unsigned short>(v);
        const unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
        EmitInteger(out, directive, v, false, base, conversion == 'X', false);
        break;
      }
      case 'p': {
        Directive pointerDirective = directive;
        pointerDirective.precision = 16;
        EmitInteger(out, pointerDirective, reinterpret_cast<unsigned long long>(va_arg(args, void*)), false, 16, true,
                    false);
        break;
      }
      case 'c':
      case 'C': {
        const int v = va_arg(args, int);
        const bool narrow = directive.narrowExplicit || (conversion == 'C' && !directive.wideExplicit);
        const char16_t c = narrow ? static_cast<char16_t>(static_cast<unsigned char>(v))
                                  : static_cast<char16_t>(static_cast<unsigned short>(v));
        EmitField(out, directive, {}, std::u16string_view(&c, 1), false);
        break;
      }
      case 's':
      case 'S': {
        const bool narrow = directive.narrowExplicit || (conversion == 'S' && !directive.wideExplicit);
        std::u16string text;
        if (narrow) {
          const char* s = va_arg(args, const char*);
          if (s == nullptr) s = "(null)";
          for (; *s != 0 && (directive.precision < 0 || static_cast<int>(text.size()) < directive.precision); ++s) {
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
          }
        } else {
          const WCHAR* s = va_arg(args, const WCHAR*);
          if (s == nullptr) text = u"(null)";
          for (; s != nullptr && *s != 0 && (directive.precision < 0 || static_cast<int>(text.size()) < directive.precision); ++s) {
            text.push_back(static_cast<char16_t>(*s));
          }
        }
        EmitField(out, directive, {}, text, false);
        break;
      }
      case 'Z': {
        const bool narrow = directive.narrowExplicit || !directive.wideExplicit;
        std::u16string text;
        if (narrow) {
          const auto* s = va_arg(args, const STRING*);
          if (s == nullptr || s->Buffer == nullptr) text = u"(null)";
          else for (USHORT i = 0; i < s->Length; ++i) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(s->Buffer[i])));
        } else {
          const auto* s = va_arg(args, const UNICODE_STRING*);
          text = (s == nullptr || s->Buffer == nullptr) ? std::u16string(u"(null)") : ToU16(s);
        }
        if (directive.precision >= 0 && static_cast<int>(text.size()) > directive.precision) text.resize(directive.precision);
        EmitField(out, directive, {}, text, false);
        break;
      }
      case 'n':  // never written through: the platform's safe functions refuse it too
        (void)va_arg(args, void*);
        break;
      case '%':
        out.push_back(u'%');
        break;
      default:  // an unknown conversion is copied as it stands
        for (const WCHAR* q = start; q < p; ++q) out.push_back(static_cast<char16_t>(*q));
        break;
    }
  }
  return out;
}

}  // namespace tarvel::rtl
