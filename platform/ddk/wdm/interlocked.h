// The interlocked family (part of wdm.h). On the platform these are compiler intrinsics; here each is
// a real export of the emulated kernel, because every interlocked operation is a point at which the
// scheduler may hand the CPU to another emulated thread.
#pragma once

#include "ke.h"
#include <ntdef.h>

extern "C" {

LONG NTAPI InterlockedIncrement(LONG volatile* Addend);
LONG NTAPI InterlockedDecrement(LONG volatile* Addend);
LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value);
LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand);
LONG NTAPI InterlockedOr(LONG volatile* Destination, LONG Value);
LONG NTAPI InterlockedAnd(LONG volatile* Destination, LONG Value);
LONG NTAPI InterlockedXor(LONG volatile* Destination, LONG Value);
LONG64 NTAPI InterlockedIncrement64(LONG64 volatile* Addend);
LONG64 NTAPI InterlockedDecrement64(LONG64 volatile* Addend);
LONG64 NTAPI InterlockedExchange64(LONG64 volatile* Target, LONG64 Value);
LONG64 NTAPI InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value);
LONG64 NTAPI InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 ExChange, LONG64 Comperand);
PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange, PVOID Comperand);
BOOLEAN NTAPI InterlockedBitTestAndSet(LONG volatile* Base, LONG Bit);
BOOLEAN NTAPI InterlockedBitTestAndReset(LONG volatile* Base, LONG Bit);

// List operations under a spin lock (the lock is taken at DISPATCH_LEVEL).
PLIST_ENTRY NTAPI ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY NTAPI ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY NTAPI ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY NTAPI ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead, PSINGLE_LIST_ENTRY ListEntry,
                                              PKSPIN_LOCK Lock);
PSINGLE_LIST_ENTRY NTAPI ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock);

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
