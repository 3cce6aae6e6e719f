// Memory routines of the run-time library that are real exports (the others are macros over the C
// library's byte routines in the driver-kit header).
#include <wdm.h>

extern "C" SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  const auto* a = static_cast<const unsigned char*>(Source1);
  const auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}
