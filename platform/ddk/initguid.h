// Including this header makes every later DEFINE_GUID a definition rather than a declaration.
#pragma once

#define INITGUID
#include <guiddef.h>
