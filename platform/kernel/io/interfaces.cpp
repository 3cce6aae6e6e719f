// Device interfaces: registered on a physical device object under a name built from its instance path
// and the interface class ("\??\USB#VID_xxxx&PID_yyyy#serial#{guid}"), enabled and disabled by its
// drivers; an enabled instance is a symbolic link to the physical device object, so an application
// that opens it reaches the top of that device's stack. Enabled instances are enumerable by class.
#include <wdm.h>

#include <cstdio>
#include <vector>

#include "io/device_nodes.h"
#include "io/devices.h"
#include "io/interfaces.h"
#include "io/pool_tags.h"
#include "ob/namespace.h"
#include "registry/zw_checks.h"
#include "rtl/wide.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"

using namespace tarvel;

namespace tarvel::io {
namespace {

struct Interface {
  PDEVICE_OBJECT physicalDevice;
  GUID interfaceClass;
  std::u16string linkName;  // "\??\...#{guid}" without the reference string
  std::u16string fullName;  // as returned to the driver (with "\reference" if one was given)
  bool enabled = false;
};

auto& interfaces = *new std::vector<Interface>();  // never destroyed, so still reachable when the leak checker runs at exit

Interface* FindByName(std::u16string_view name) {
  for (auto& i : interfaces) {
    if (rtl::EqualNoCase(i.fullName, name)) return &i;
  }
  return nullptr;
}

bool LinkUsedByOtherEnabled(const Interface& self) {
  for (const auto& i : interfaces) {
    if (&i != &self && i.enabled && rtl::EqualNoCase(i.linkName, self.linkName)) return true;
  }
  return false;
}

void SetEnabled(Interface& i, bool enable) {
  if (i.enabled == enable) return;
  i.enabled = enable;
  if (LinkUsedByOtherEnabled(i)) return;
  if (enable) ob::CreateLinkToDevice(i.linkName, i.physicalDevice);
  else ob::DeleteLink(i.linkName);
}

}  // namespace

std::string GuidString(const GUID& guid) {
  char text[40];
  snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2, guid.Data3,
           guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
           guid.Data4[7]);
  return text;
}

std::vector<std::string> EnabledInterfaces(const GUID& interfaceClass) {
  std::vector<std::string> names;
  for (const auto& i : interfaces) {
    if (i.enabled && i.interfaceClass == interfaceClass) names.push_back(rtl::ToUtf8(i.fullName));
  }
  return names;
}

void DisableInterfacesOf(PDEVICE_OBJECT physicalDevice) {
  for (auto& i : interfaces) {
    if (i.physicalDevice == physicalDevice) SetEnabled(i, false);
  }
  std::erase_if(interfaces, [physicalDevice](const Interface& i) { return i.physicalDevice == physicalDevice; });
}

void ResetInterfaces() { interfaces.clear(); }

}  // namespace tarvel::io

extern "C" {

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  registry::RequirePassive("IoRegisterDeviceInterface");
  const io::DeviceRecord* record = io::PhysicalDeviceRecord(PhysicalDeviceObject);
  if (record == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string flat = record->instancePath;
  for (auto& c : flat) {
    if (c == u'\\') c = u'#';
  }
  const std::u16string linkName = u"\\??\\" + flat + u"#" + rtl::ToU16(io::GuidString(*InterfaceClassGuid));
  const std::u16string reference = rtl::ToU16(ReferenceString);
  const std::u16string fullName = reference.empty() ? linkName : linkName + u"\\" + reference;
  if (io::FindByName(fullName) == nullptr) {
    io::interfaces.push_back({PhysicalDeviceObject, *InterfaceClassGuid, linkName, fullName, false});
  }
  return rtl::AllocateUnicodeString(SymbolicLinkName, fullName, kernel_tags::kInterfaceName);
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  registry::RequirePassive("IoSetDeviceInterfaceState");
  if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  io::Interface* i = io::FindByName(rtl::ToU16(SymbolicLinkName));
  if (i == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (Enable && i->enabled) return STATUS_OBJECT_NAME_EXISTS;
  io::SetEnabled(*i, Enable != FALSE);
  return STATUS_SUCCESS;
}

}  // extern "C"
