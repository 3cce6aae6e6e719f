// The interlocked family (part of wdm.h). On the platform these are compiler intrinsics; here each is
// a real export of the emulated kernel, because every interlocked operation is a point at which the
// scheduler may hand the CPU to another emulated thread.
#pragma once

#include "ke.h"
#include <ntdef.h>

extern "C" {

LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand);
LONG InterlockedOr(LONG volatile* Destination, LONG Value);
LONG InterlockedAnd(LONG volatile* Destination, LONG Value);
LONG InterlockedXor(LONG volatile* Destination, LONG Value);
LONG64 InterlockedIncrement64(LONG64 volatile* Addend);
LONG64 InterlockedDecrement64(LONG64 volatile* Addend);
LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value);
LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value);
LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 ExChange, LONG64 Comperand);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange, PVOID Comperand);
BOOLEAN InterlockedBitTestAndSet(LONG volatile* Base, LONG Bit);
BOOLEAN InterlockedBitTestAndReset(LONG volatile* Base, LONG Bit);

// List operations under a spin lock (the lock is taken at DISPATCH_LEVEL).
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock);

} // extern "C"

// The platform's other spellings of the same operations.
#define InterlockedExchangeAddSizeT(a, b)                                                                    \
    ((SIZE_T)InterlockedExchangeAdd64((LONG64 volatile*)(a), (LONG64)(b)))
#define InterlockedIncrementSizeT(a) ((SIZE_T)InterlockedIncrement64((LONG64 volatile*)(a)))
#define InterlockedDecrementSizeT(a) ((SIZE_T)InterlockedDecrement64((LONG64 volatile*)(a)))
#define InterlockedIncrementAcquire InterlockedIncrement
#define InterlockedIncrementRelease InterlockedIncrement
#define InterlockedDecrementAcquire InterlockedDecrement
#define InterlockedDecrementRelease InterlockedDecrement
#define InterlockedCompareExchangeAcquire InterlockedCompareExchange
#define InterlockedCompareExchangeRelease InterlockedCompareExchange
#define InterlockedExchangeAcquire InterlockedExchange

// ReadULongNoFence and kin: intended unlocked accesses of one word.
#include "nofence.h"
