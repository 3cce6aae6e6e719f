// USB 2.0 definitions (usb200.h): the descriptors and request codes of usbstd.h.
#pragma once

#include <usbstd.h>
