#include "registry/store.h"

#include <map>

#include "rtl/wide.h"

namespace tarvel::registry {
namespace {

using rtl::EqualNoCase;

auto& rootKey = *new std::unique_ptr<Key>();  // never destroyed, so still reachable when the leak checker runs at exit
auto& orphans = *new std::vector<std::unique_ptr<Key>>();  // deleted keys that a handle may still name

// Keys a booted machine has before any driver or installer writes to it.
constexpr std::u16string_view kStandardKeys[] = {
    u"Machine\\SYSTEM\\CurrentControlSet\\Services",
    u"Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
    u"Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
    u"Machine\\SYSTEM\\CurrentControlSet\\Enum",
    u"Machine\\HARDWARE\\DEVICEMAP",
    u"Machine\\SOFTWARE",
    u"User",
};

// Handle values look like kernel handles on the platform (top bit set, multiple of four).
constexpr std::uintptr_t kHandleBase = 0xFFFFFFFF80000000ull;
auto& handles = *new std::map<std::uintptr_t, Key*>();
std::uintptr_t nextHandle = 4;

Key* NewRoot() {
  rootKey = std::make_unique<Key>();
  rootKey->name = u"Registry";
  for (auto path : kStandardKeys) Create(rootKey.get(), path, true);
  return rootKey.get();
}

}  // namespace

Key* Key::Subkey(std::u16string_view child) const {
  for (const auto& k : subkeys) {
    if (EqualNoCase(k->name, child)) return k.get();
  }
  return nullptr;
}

Value* Key::FindValue(std::u16string_view valueName) {
  for (auto& v : values) {
    if (EqualNoCase(v.name, valueName)) return &v;
  }
  return nullptr;
}

void Key::SetValue(std::u16string_view valueName, ULONG type, const void* data, std::size_t size) {
  Value* v = FindValue(valueName);
  if (v == nullptr) {
    values.push_back(Value{std::u16string(valueName), type, {}});
    v = &values.back();
  }
  v->type = type;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  v->data.assign(bytes, bytes + (data == nullptr ? 0 : size));
}

bool Key::DeleteValue(std::u16string_view valueName) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (EqualNoCase(it->name, valueName)) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

std::u16string Key::Path() const {
  if (parent == nullptr) return u"\\" + name;
  return parent->Path() + u"\\" + name;
}

Key& Root() { return rootKey ? *rootKey : *NewRoot(); }

std::vector<std::u16string> SplitPath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t next = path.find(u'\\', i);
    const std::size_t end = next == std::u16string_view::npos ? path.size() : next;
    if (end > i) parts.emplace_back(path.substr(i, end - i));
    i = end + 1;
  }
  return parts;
}

namespace {
// Absolute paths name the root as their first component.
Key* Start(Key* base, std::u16string_view path, std::vector<std::u16string>& parts) {
  parts = SplitPath(path);
  if (!path.empty() && path.front() == u'\\') {
    if (parts.empty() || !EqualNoCase(parts.front(), u"Registry")) return nullptr;
    parts.erase(parts.begin());
    return &Root();
  }
  return base;
}
}  // namespace

Key* Find(Key* base, std::u16string_view path) {
  std::vector<std::u16string> parts;
  Key* key = Start(base, path, parts);
  for (const auto& part : parts) {
    if (key == nullptr) break;
    key = key->Subkey(part);
  }
  return key;
}

Key* Create(Key* base, std::u16string_view path, bool createParents, bool* created) {
  if (created != nullptr) *created = false;
  std::vector<std::u16string> parts;
  Key* key = Start(base, path, parts);
  if (key == nullptr || key->deleted) return nullptr;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    Key* child = key->Subkey(parts[i]);
    if (child == nullptr) {
      if (!createParents && i + 1 < parts.size()) return nullptr;
      auto fresh = std::make_unique<Key>();
      fresh->name = parts[i];
      fresh->parent = key;
      child = fresh.get();
      key->subkeys.push_back(std::move(fresh));
      if (i + 1 == parts.size() && created != nullptr) *created = true;
    }
    key = child;
  }
  return key;
}

void Delete(Key* key) {
  if (key == nullptr || key->parent == nullptr) return;
  auto& siblings = key->parent->subkeys;
  for (auto it = siblings.begin(); it != siblings.end(); ++it) {
    if (it->get() != key) continue;
    std::vector<Key*> stack{key};
    while (!stack.empty()) {
      Key* k = stack.back();
      stack.pop_back();
      k->deleted = true;
      for (auto& child : k->subkeys) stack.push_back(child.get());
    }
    orphans.push_back(std::move(*it));
    siblings.erase(it);
    return;
  }
}

void Reset() {
  handles.clear();
  orphans.clear();
  NewRoot();
}

HANDLE OpenHandle(Key* key) {
  const std::uintptr_t value = kHandleBase + nextHandle;
  nextHandle += 4;
  handles[value] = key;
  return reinterpret_cast<HANDLE>(value);
}

Key* FromHandle(HANDLE handle) {
  auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles.end() ? nullptr : it->second;
}

bool CloseHandle(HANDLE handle) { return handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1; }

std::size_t OpenHandleCount() { return handles.size(); }

}  // namespace tarvel::registry
