// The interface of the small test driver, shared by the driver and the programs that drive it.
#pragma once

// The device the driver creates, and what it counts.
#define TARVELTEST_DEVICE_NAME L"\\Device\\TarvelTest"
#define TARVELTEST_POOL_TAG 'tsTv'  // shows as "vTst" in pool listings
#define TARVELTEST_TICK_PERIOD_MS 100
#define TARVELTEST_TICKS 10  // the timer stops itself after this many ticks

// Returns the number of ticks so far (a ULONG) in the output buffer.
#define IOCTL_TARVELTEST_GET_TICKS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
