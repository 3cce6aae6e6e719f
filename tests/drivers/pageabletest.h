// The interface of the pageable-code test driver: each control code runs one use of pageable code or
// paged pool, right or wrong, and returns a ULONG it read.
#pragma once

#define PAGEABLETEST_DEVICE_NAME L"\\Device\\PageableTest"
#define PAGEABLETEST_POOL_TAG 'gPvT'  // "TvPg"
#define PAGEABLETEST_VALUE 0x5A17u     // what the driver's pool blocks hold

#define PAGEABLETEST_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)
// Right: a pageable routine called at PASSIVE_LEVEL; one that takes a spin lock through a routine of
// locked code; a pageable work item; paged pool read at PASSIVE_LEVEL; nonpaged pool read in a DPC.
#define IOCTL_PAGEABLE_CALL_AT_PASSIVE PAGEABLETEST_CODE(0)
#define IOCTL_PAGEABLE_LOCKS_THROUGH_LOCKED_CODE PAGEABLETEST_CODE(1)
#define IOCTL_PAGEABLE_WORK_ITEM PAGEABLETEST_CODE(2)
#define IOCTL_PAGED_POOL_AT_PASSIVE PAGEABLETEST_CODE(3)
#define IOCTL_NONPAGED_POOL_IN_DPC PAGEABLETEST_CODE(4)
// Wrong: a pageable routine without PAGED_CODE() called holding a spin lock; a pageable DPC routine;
// a pageable routine that takes a spin lock itself; one that is handed the lock by locked code and
// releases it; paged pool read in a DPC.
#define IOCTL_PAGEABLE_CALL_UNDER_LOCK PAGEABLETEST_CODE(10)
#define IOCTL_PAGEABLE_DPC PAGEABLETEST_CODE(11)
#define IOCTL_PAGEABLE_TAKES_LOCK PAGEABLETEST_CODE(12)
#define IOCTL_PAGEABLE_RELEASES_LOCK PAGEABLETEST_CODE(13)
#define IOCTL_PAGED_POOL_IN_DPC PAGEABLETEST_CODE(14)
