#include "rtl/wide.h"

namespace tarvel::rtl {

std::size_t WideLength(const WCHAR* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Upper case as the platform's table has it for the ranges device and value names use: ASCII,
// Latin-1, Latin Extended-A pairs, Greek and Cyrillic.
WCHAR Upcase(WCHAR c) {
  const unsigned u = static_cast<unsigned short>(c);
  if (u >= 'a' && u <= 'z') return static_cast<WCHAR>(u - 0x20);
  if (u < 0x80) return c;
  if ((u >= 0xE0 && u <= 0xFE && u != 0xF7)) return static_cast<WCHAR>(u - 0x20);
  if (u == 0xFF) return static_cast<WCHAR>(0x178);
  if (u >= 0x100 && u <= 0x17F && u != 0x131 && u != 0x138 && u != 0x149 && u != 0x17F) {
    const bool oddIsLower = (u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E);
    if (oddIsLower ? (u % 2 == 0) : (u % 2 == 1)) return static_cast<WCHAR>(u - 1);
    return c;
  }
  if (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) return static_cast<WCHAR>(u - 0x20);
  if (u >= 0x430 && u <= 0x44F) return static_cast<WCHAR>(u - 0x20);
  if (u >= 0x450 && u <= 0x45F) return static_cast<WCHAR>(u - 0x50);
  return c;
}

std::u16string ToU16(const WCHAR* text) {
  if (text == nullptr) return {};
  return ToU16(text, WideLength(text));
}

std::u16string ToU16(const WCHAR* text, std::size_t count) {
  std::u16string out(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char16_t>(text[i]);
  return out;
}

std::u16string ToU16(const UNICODE_STRING* text) {
  if (text == nullptr || text->Buffer == nullptr) return {};
  return ToU16(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string ToU16(std::string_view utf8) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char b = static_cast<unsigned char>(utf8[i]);
    unsigned cp = b;
    std::size_t extra = 0;
    if (b >= 0xF0) { cp = b & 0x07; extra = 3; }
    else if (b >= 0xE0) { cp = b & 0x0F; extra = 2; }
    else if (b >= 0xC0) { cp = b & 0x1F; extra = 1; }
    if (i + extra >= utf8.size()) {
      cp = 0xFFFD;  // truncated sequence
      extra = utf8.size() - i - 1;
    } else {
      for (std::size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::u16string Upcased(std::u16string_view text) {
  std::u16string out(text);
  for (auto& c : out) c = static_cast<char16_t>(Upcase(static_cast<WCHAR>(c)));
  return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Upcase(static_cast<WCHAR>(a[i])) != Upcase(static_cast<WCHAR>(b[i]))) return false;
  }
  return true;
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

WCHAR* CopyOut(WCHAR* dest, std::u16string_view text) {
  for (char16_t c : text) *dest++ = static_cast<WCHAR>(c);
  return dest;
}

NTSTATUS AllocateUnicodeString(UNICODE_STRING* out, std::u16string_view text, ULONG tag) {
  out->Length = out->MaximumLength = 0;
  out->Buffer = nullptr;
  const std::size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  if (bytes > UNICODE_STRING_MAX_BYTES) return STATUS_INVALID_PARAMETER;
  auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, tag));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *CopyOut(buffer, text) = 0;
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  out->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

}  // namespace tarvel::rtl
