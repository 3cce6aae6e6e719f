// USB 2.0 definitions (usb200.h): the descriptors and request codes of usbspec.h.
#pragma once

#include <usbspec.h>
