// The platform's driver model header (wdm.h): everything a WDM driver uses from the kernel. The
// declarations are grouped by kernel component in wdm/*.h; driver sources include this header (or
// ntddk.h), never the parts.
//
// Exported routines are declared with C linkage and implemented by the emulated kernel (the USBD
// routines of usbdlib.h by its USB library). The few names of this system that the platform does not
// have are all exports the headers call on a driver's behalf: TarvelAssertFailed and
// TarvelCheckPagedCode (wdm/checks.h), and the Tarvel<Name> symbols under which the wide-string
// run-time routines are exported (wdm/crt.h).
#pragma once

#include <guiddef.h>
#include <ntdef.h>
#include <ntstatus.h>

#include "wdm/checks.h"
#include "wdm/crt.h"
#include "wdm/ex.h"
#include "wdm/interlocked.h"
#include "wdm/io.h"
#include "wdm/ke.h"
#include "wdm/mm.h"
#include "wdm/po.h"
#include "wdm/registry.h"
#include "wdm/rtl.h"
