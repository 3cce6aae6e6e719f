// USB 1.0 definitions (usb100.h): the descriptors and request codes of usbstd.h.
#pragma once

#include <usbstd.h>
