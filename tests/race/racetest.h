// The interface of the race test driver, shared by the driver and its tests.
#pragma once

#define RACETEST_DEVICE_NAME L"\\Device\\RaceTest"

// Each request updates the driver's counters once, in the way its name says.
#define RACETEST_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_RACETEST_BUMP_UNLOCKED RACETEST_CODE(0)     // a plain increment: a data race
#define IOCTL_RACETEST_BUMP_LOCKED RACETEST_CODE(1)       // under the device's spin lock
#define IOCTL_RACETEST_BUMP_INTERLOCKED RACETEST_CODE(2)  // InterlockedIncrement
#define IOCTL_RACETEST_POLL_FLAG RACETEST_CODE(3)         // reads a volatile flag others set, unlocked on purpose
#define IOCTL_RACETEST_READ_INTERLOCKED RACETEST_CODE(4)  // a plain read of the interlocked counter
