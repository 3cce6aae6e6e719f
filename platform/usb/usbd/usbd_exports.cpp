// What USBD.SYS offers to Windows images: the USBD library routines, registered with the kernel's
// image loader when this library is loaded.
#include <ntddk.h>
#include <usbdlib.h>

#include "tarvel/exports.h"

namespace {

const tarvel::kernel::Export kUsbdExports[] = {
    TARVEL_EXPORT(USBD_CreateConfigurationRequest), TARVEL_EXPORT(USBD_CreateConfigurationRequestEx),
    TARVEL_EXPORT(USBD_GetInterfaceLength),         TARVEL_EXPORT(USBD_GetUSBDIVersion),
    TARVEL_EXPORT(USBD_ParseConfigurationDescriptor), TARVEL_EXPORT(USBD_ParseConfigurationDescriptorEx),
    TARVEL_EXPORT(USBD_ParseDescriptors),           TARVEL_EXPORT(USBD_ValidateConfigurationDescriptor),
};

const struct Registration {
  Registration() { tarvel::kernel::RegisterExports("USBD.SYS", kUsbdExports); }
  ~Registration() { tarvel::kernel::UnregisterExports("USBD.SYS"); }
} gRegistration;

}  // namespace
