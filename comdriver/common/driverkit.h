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

// Pageable and start-up code go to the PAGE and INIT sections, as the driver kit's alloc_text does:
// in the Windows image for the platform's loader, in the emulated module for the emulated kernel's,
// which records where PAGE lies and stops when code of it runs at DISPATCH_LEVEL or above.
#define PAGEDCODE __attribute__((section("PAGE")))
#define INITCODE __attribute__((section("INIT")))
// A locked routine that pageable code calls to do what must not run paged (take a spin lock): kept
// out of line, or the compiler could inline it into its pageable caller's section.
#define LOCKEDCODE __attribute__((noinline))

// The entry point has C linkage in both images.
#define DRIVER_ENTRY extern "C" NTSTATUS NTAPI
