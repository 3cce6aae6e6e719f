// Object references. Device objects and file objects have their own accounting in the I/O manager
// (a deleted device's memory and a closed file's IRP_MJ_CLOSE wait for the last reference); other
// objects are counted here so that an unbalanced dereference is still caught.
#include <wdm.h>

#include <unordered_map>

#include "io/devices.h"
#include "io/files.h"
#include "tarvel/kernel.h"

using namespace tarvel;

namespace {
auto& otherObjects = *new std::unordered_map<const void*, LONG_PTR>();  // never destroyed, so still reachable when the leak checker runs at exit
}

extern "C" {

LONG_PTR ObfReferenceObject(PVOID Object) {
  kernel::SwitchPoint();
  if (auto* device = io::FindDeviceRecord(static_cast<PDEVICE_OBJECT>(Object))) {
    io::ReferenceDevice(device->device);
    return device->references + 1;
  }
  if (io::IsFileObject(Object)) {
    io::ReferenceFile(static_cast<PFILE_OBJECT>(Object));
    return 2;
  }
  return ++otherObjects[Object] + 1;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  kernel::SwitchPoint();
  if (auto* device = io::FindDeviceRecord(static_cast<PDEVICE_OBJECT>(Object))) {
    const LONG_PTR left = device->references;
    io::DereferenceDevice(device->device);
    return left;
  }
  if (io::IsFileObject(Object)) {
    io::DereferenceFile(static_cast<PFILE_OBJECT>(Object));
    return 1;
  }
  auto it = otherObjects.find(Object);
  if (it == otherObjects.end()) return 0;  // a permanent object (thread, driver, ...) referenced by the system
  const LONG_PTR left = --it->second;
  if (left == 0) otherObjects.erase(it);
  return left + 1;
}

}  // extern "C"
