// The I/O manager's side records of device objects: name, the device it is attached to, deletion,
// references, queued work items, and for physical device objects their device node.
#pragma once

#include <wdm.h>

#include <string>

namespace tarvel::io {

struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  std::size_t allocationSize = 0;
  std::u16string name;                    // empty for an unnamed device
  PDEVICE_OBJECT attachedTo = nullptr;    // the device directly below (IoAttachDeviceToDeviceStack)
  bool deletePending = false;             // IoDeleteDevice called; memory goes with the last reference
  long references = 0;                    // ObReferenceObject, work items, open files
  unsigned queuedWorkItems = 0;           // queued and not yet started
  // Device node (physical device objects only).
  bool physical = false;
  std::u16string instancePath;
  NTSTATUS refuseOpens = STATUS_SUCCESS;  // opens of the stack fail with this while it is a failure
};

DeviceRecord* FindDeviceRecord(const DEVICE_OBJECT* device);  // nullptr once the memory is gone
// The record of a device that still exists, or a verifier stop ("device object used after deletion").
DeviceRecord& LiveDevice(const DEVICE_OBJECT* device, const char* routine);
// Reference counting of device objects; the memory of a deleted device goes with the last reference.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);   // IoGetAttachedDevice
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device);
void ResetDevices();

}  // namespace tarvel::io
