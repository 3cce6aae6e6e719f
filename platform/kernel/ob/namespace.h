// The object namespace: device objects by their "\Device\..." names and symbolic links in "\??\"
// ("\DosDevices\" and "\GLOBAL??\" are the same directory). Names compare without regard to case.
// A link's target is a name, resolved when the link is followed, or (for device interfaces of devices
// without a name) the device object itself.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _DEVICE_OBJECT;

namespace tarvel::ob {

// "\DosDevices\X" and "\GLOBAL??\X" become "\??\X"; other names are returned unchanged.
std::u16string CanonicalName(std::u16string_view name);

bool InsertDevice(std::u16string_view name, _DEVICE_OBJECT* device);  // false if the name is taken
void RemoveDevice(std::u16string_view name);
bool NameExists(std::u16string_view name);

// STATUS_SUCCESS, STATUS_OBJECT_NAME_COLLISION or STATUS_OBJECT_NAME_INVALID (as NTSTATUS values).
int CreateLink(std::u16string_view link, std::u16string_view target);
int CreateLinkToDevice(std::u16string_view link, _DEVICE_OBJECT* device);
int DeleteLink(std::u16string_view link);  // STATUS_OBJECT_NAME_NOT_FOUND if there is none
std::optional<std::u16string> LinkTarget(std::u16string_view link);
std::vector<std::u16string> LinkNamesIn(std::u16string_view directory);  // e.g. u"\\??\\" -> {u"COM3", ...}

// Follows links and finds the device whose name is the longest leading part of path (at a backslash);
// what follows the device's name is the remainder (a file name such as "\PIPE00").
struct Resolved {
  _DEVICE_OBJECT* device = nullptr;
  std::u16string remainder;
};
std::optional<Resolved> Resolve(std::u16string_view path);

void Reset();

}  // namespace tarvel::ob
