// USB 1.0 definitions (usb100.h): the descriptors and request codes of usbspec.h.
#pragma once

#include <usbspec.h>
