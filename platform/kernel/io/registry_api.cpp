// The registry as platform components and tests see it (tarvel/io.h).
#include "registry/store.h"
#include "rtl/wide.h"
#include "tarvel/io.h"

namespace tarvel::io {
namespace {
registry::Key* KeyAt(std::string_view path) { return registry::Find(nullptr, rtl::ToU16(path)); }
}  // namespace

std::string RegistryValue::AsString() const {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return rtl::ToUtf8(text);
}

ULONG RegistryValue::AsDword() const {
  ULONG value = 0;
  for (std::size_t i = 0; i < data.size() && i < 4; ++i) value |= static_cast<ULONG>(data[i]) << (8 * i);
  return value;
}

bool RegistryKeyExists(std::string_view path) { return KeyAt(path) != nullptr; }

void CreateRegistryKey(std::string_view path) { registry::Create(nullptr, rtl::ToU16(path), true); }

void SetRegistryValue(std::string_view keyPath, std::string_view valueName, ULONG type, const void* data,
                      std::size_t size) {
  registry::Key* key = registry::Create(nullptr, rtl::ToU16(keyPath), true);
  if (key != nullptr) key->SetValue(rtl::ToU16(valueName), type, data, size);
}

void SetRegistryDword(std::string_view keyPath, std::string_view valueName, ULONG value) {
  SetRegistryValue(keyPath, valueName, REG_DWORD, &value, sizeof value);
}

void SetRegistryString(std::string_view keyPath, std::string_view valueName, std::string_view text) {
  std::u16string wide = rtl::ToU16(text);
  std::vector<std::uint8_t> bytes;
  for (char16_t c : wide) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  SetRegistryValue(keyPath, valueName, REG_SZ, bytes.data(), bytes.size());
}

std::optional<RegistryValue> QueryRegistryValue(std::string_view keyPath, std::string_view valueName) {
  registry::Key* key = KeyAt(keyPath);
  if (key == nullptr) return std::nullopt;
  const registry::Value* value = key->FindValue(rtl::ToU16(valueName));
  if (value == nullptr) return std::nullopt;
  return RegistryValue{rtl::ToUtf8(value->name), value->type, value->data};
}

std::vector<RegistryValue> RegistryValues(std::string_view keyPath) {
  std::vector<RegistryValue> values;
  if (registry::Key* key = KeyAt(keyPath)) {
    for (const auto& v : key->values) values.push_back(RegistryValue{rtl::ToUtf8(v.name), v.type, v.data});
  }
  return values;
}

std::vector<std::string> RegistrySubkeys(std::string_view keyPath) {
  std::vector<std::string> names;
  if (registry::Key* key = KeyAt(keyPath)) {
    for (const auto& k : key->subkeys) names.push_back(rtl::ToUtf8(k->name));
  }
  return names;
}

bool DeleteRegistryValue(std::string_view keyPath, std::string_view valueName) {
  registry::Key* key = KeyAt(keyPath);
  return key != nullptr && key->DeleteValue(rtl::ToU16(valueName));
}

bool DeleteRegistryKey(std::string_view keyPath) {
  registry::Key* key = KeyAt(keyPath);
  if (key == nullptr || key->parent == nullptr) return false;
  registry::Delete(key);
  return true;
}

std::size_t OpenRegistryHandles() { return registry::OpenHandleCount(); }

}  // namespace tarvel::io
