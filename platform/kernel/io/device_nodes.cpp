// Device nodes: the PnP manager names a physical device object's instance; its hardware key
// ("Device Parameters" under the instance's Enum key) is what IoOpenDeviceRegistryKey opens for
// PLUGPLAY_REGKEY_DEVICE, its software key (a Class key) for PLUGPLAY_REGKEY_DRIVER.
#include "io/device_nodes.h"

#include "io/devices.h"
#include "registry/store.h"
#include "registry/zw_checks.h"
#include "rtl/wide.h"
#include "tarvel/io.h"
#include "tarvel/kernel.h"

namespace tarvel::io {

DeviceRecord* PhysicalDeviceRecord(PDEVICE_OBJECT device) {
  DeviceRecord* record = FindDeviceRecord(device);
  return record != nullptr && record->physical && !record->deletePending ? record : nullptr;
}

std::u16string HardwareKeyPathOf(const DeviceRecord& record) {
  return rtl::ToU16(kEnumPath) + u"\\" + record.instancePath + u"\\Device Parameters";
}

std::u16string DriverKeyPathOf(const DeviceRecord& record) {
  std::u16string flat = record.instancePath;
  for (auto& c : flat) {
    if (c == u'\\') c = u'#';
  }
  return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + flat;
}

void SetDeviceNode(PDEVICE_OBJECT physicalDevice, std::string_view instancePath) {
  DeviceRecord& record = LiveDevice(physicalDevice, "SetDeviceNode");
  record.physical = true;
  record.instancePath = rtl::ToU16(instancePath);
  registry::Create(nullptr, HardwareKeyPathOf(record), true);
}

bool IsPhysicalDevice(PDEVICE_OBJECT device) { return PhysicalDeviceRecord(device) != nullptr; }

std::string HardwareKeyPath(PDEVICE_OBJECT physicalDevice) {
  const DeviceRecord* record = PhysicalDeviceRecord(physicalDevice);
  return record == nullptr ? std::string() : rtl::ToUtf8(HardwareKeyPathOf(*record));
}

std::string InstancePath(PDEVICE_OBJECT physicalDevice) {
  const DeviceRecord* record = PhysicalDeviceRecord(physicalDevice);
  return record == nullptr ? std::string() : rtl::ToUtf8(record->instancePath);
}

}  // namespace tarvel::io

using namespace tarvel;

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  registry::RequirePassive("IoOpenDeviceRegistryKey");
  *DevInstRegKey = nullptr;
  const io::DeviceRecord* record = io::PhysicalDeviceRecord(DeviceObject);
  if (record == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (registry::ReadFaultInjected()) return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string path;
  switch (DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) {
    case PLUGPLAY_REGKEY_DEVICE: path = io::HardwareKeyPathOf(*record); break;
    case PLUGPLAY_REGKEY_DRIVER: path = io::DriverKeyPathOf(*record); break;
    default: return STATUS_INVALID_PARAMETER;
  }
  registry::Key* key = registry::Create(nullptr, path, true);
  if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  *DevInstRegKey = registry::OpenHandle(key);
  return STATUS_SUCCESS;
}
