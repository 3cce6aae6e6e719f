// The one header through which driver sources reach the driver kit. The Windows images compile
// against the headers that mingw-w64 ships, the emulated modules against platform/ddk; the order
// below works for both, so driver sources are identical for the two targets.
#pragma once

#ifdef TARVEL_WINDOWS_IMAGE
// mingw-w64's wdm.h declares these two again after intrin.h has done so.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>
#include <wdm.h>

// usb.h must come before usbdlib.h; mingw-w64's USBD declarations lack C linkage in C++.
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}
#include <ntddser.h>

// mingw-w64's kit lacks the marked plain accesses (ReadULongNoFence and kin) of current kits: the
// Windows image takes the emulated kit's definitions, which need only the basic types.
#ifdef TARVEL_WINDOWS_IMAGE
#include "../../platform/ddk/wdm/nofence.h"
#endif

// Pageable and start-up code go to the PAGE and INIT sections of the Windows image, as the driver
// kit's alloc_text does. The emulated kernel checks PAGED_CODE() at run time instead.
#ifdef TARVEL_WINDOWS_IMAGE
#define PAGEDCODE __attribute__((section("PAGE")))
#define INITCODE __attribute__((section("INIT")))
#else
#define PAGEDCODE
#define INITCODE
#endif

// The entry point has C linkage in both images.
#define DRIVER_ENTRY extern "C" NTSTATUS NTAPI
