#include "ob/namespace.h"

#include <wdm.h>

#include <vector>

#include "rtl/wide.h"

namespace tarvel::ob {
namespace {

using rtl::EqualNoCase;
using rtl::StartsWithNoCase;

struct DeviceEntry {
  std::u16string name;
  _DEVICE_OBJECT* device;
};
struct LinkEntry {
  std::u16string name;  // canonical
  std::u16string target;
  _DEVICE_OBJECT* device;  // set for links straight to a device object
};

auto& devices = *new std::vector<DeviceEntry>();  // never destroyed, so still reachable when the leak checker runs at exit
auto& links = *new std::vector<LinkEntry>();

constexpr std::u16string_view kDosDirectory = u"\\??\\";
constexpr std::u16string_view kDosAliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\"};
constexpr int kMaxLinkDepth = 32;

LinkEntry* FindLink(std::u16string_view canonical) {
  for (auto& l : links) {
    if (EqualNoCase(l.name, canonical)) return &l;
  }
  return nullptr;
}

bool ValidName(std::u16string_view name) {
  return name.size() > 1 && name.front() == u'\\' && name.back() != u'\\';
}

}  // namespace

std::u16string CanonicalName(std::u16string_view name) {
  for (auto alias : kDosAliases) {
    if (StartsWithNoCase(name, alias)) return std::u16string(kDosDirectory) + std::u16string(name.substr(alias.size()));
  }
  return std::u16string(name);
}

bool InsertDevice(std::u16string_view name, _DEVICE_OBJECT* device) {
  if (NameExists(name)) return false;
  devices.push_back({std::u16string(name), device});
  return true;
}

void RemoveDevice(std::u16string_view name) {
  for (auto it = devices.begin(); it != devices.end(); ++it) {
    if (EqualNoCase(it->name, name)) {
      devices.erase(it);
      return;
    }
  }
}

bool NameExists(std::u16string_view name) {
  const std::u16string canonical = CanonicalName(name);
  for (const auto& d : devices) {
    if (EqualNoCase(d.name, canonical)) return true;
  }
  return FindLink(canonical) != nullptr;
}

int CreateLink(std::u16string_view link, std::u16string_view target) {
  if (!ValidName(link)) return STATUS_OBJECT_NAME_INVALID;
  const std::u16string canonical = CanonicalName(link);
  if (NameExists(canonical)) return STATUS_OBJECT_NAME_COLLISION;
  links.push_back({canonical, std::u16string(target), nullptr});
  return STATUS_SUCCESS;
}

int CreateLinkToDevice(std::u16string_view link, _DEVICE_OBJECT* device) {
  if (!ValidName(link)) return STATUS_OBJECT_NAME_INVALID;
  const std::u16string canonical = CanonicalName(link);
  if (NameExists(canonical)) return STATUS_OBJECT_NAME_COLLISION;
  links.push_back({canonical, {}, device});
  return STATUS_SUCCESS;
}

int DeleteLink(std::u16string_view link) {
  const std::u16string canonical = CanonicalName(link);
  for (auto it = links.begin(); it != links.end(); ++it) {
    if (EqualNoCase(it->name, canonical)) {
      links.erase(it);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> LinkTarget(std::u16string_view link) {
  const LinkEntry* l = FindLink(CanonicalName(link));
  if (l == nullptr) return std::nullopt;
  return l->target;
}

std::vector<std::u16string> LinkNamesIn(std::u16string_view directory) {
  const std::u16string dir = CanonicalName(directory);
  std::vector<std::u16string> names;
  for (const auto& l : links) {
    if (StartsWithNoCase(l.name, dir)) names.push_back(l.name.substr(dir.size()));
  }
  return names;
}

std::optional<Resolved> Resolve(std::u16string_view path) {
  std::u16string current = CanonicalName(path);
  for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
    // A link is looked up component by component from the left, as the object manager walks a path.
    bool followed = false;
    for (std::size_t end = current.find(u'\\', 1);; end = current.find(u'\\', end + 1)) {
      const std::u16string_view head =
          std::u16string_view(current).substr(0, end == std::u16string::npos ? current.size() : end);
      if (const LinkEntry* l = FindLink(head)) {
        const std::u16string rest = current.substr(head.size());
        if (l->device != nullptr) return Resolved{l->device, rest};
        current = CanonicalName(l->target + rest);
        followed = true;
        break;
      }
      if (end == std::u16string::npos) break;
    }
    if (followed) continue;
    const DeviceEntry* best = nullptr;
    for (const auto& d : devices) {
      if (!StartsWithNoCase(current, d.name)) continue;
      if (current.size() != d.name.size() && current[d.name.size()] != u'\\') continue;
      if (best == nullptr || d.name.size() > best->name.size()) best = &d;
    }
    if (best == nullptr) return std::nullopt;
    return Resolved{best->device, current.substr(best->name.size())};
  }
  return std::nullopt;
}

void Reset() {
  devices.clear();
  links.clear();
}

}  // namespace tarvel::ob
