// Memory manager (part of wdm.h): memory descriptor lists and the page arithmetic around them.
//
// An MDL describes a buffer by its page-aligned start (StartVa), the offset into the first page and
// the byte count; in the emulation every buffer is resident, and MappedSystemVa is the buffer itself
// once the MDL is mapped or built for non-paged pool.
#pragma once

#include "ke.h"
#include <ntdef.h>

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

typedef ULONG PFN_COUNT;
typedef LONG_PTR SPFN_NUMBER, *PSPFN_NUMBER;
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;
typedef MDL* PMDLX;
static_assert(sizeof(MDL) == 48, "x64 layout");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_PARENT_MAPPED_SYSTEM_VA 0x0100
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_ALLOCATED_MUST_SUCCEED 0x4000
#define MDL_INTERNAL 0x8000
#define MDL_MAPPING_FLAGS                                                                                    \
    (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL |                              \
     MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_PARENT_MAPPED_SYSTEM_VA | MDL_IO_SPACE)

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = FALSE,
    MmCached = TRUE,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define BYTES_TO_PAGES(Size) (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~((ULONG_PTR)PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~((ULONG_PTR)PAGE_SIZE - 1))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)                                                             \
    ((ULONG)((((ULONG_PTR)(Va) & (PAGE_SIZE - 1)) + (Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))
#define COMPUTE_PAGES_SPANNED(Va, Size) ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)

extern "C" {

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority);
VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length);
PMDL NTAPI MmCreateMdl(PMDL MemoryDescriptorList, PVOID Base, SIZE_T Length);
BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress);

} // extern "C"

#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))

#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                                          \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                             \
         ? (Mdl)->MappedSystemVa                                                                             \
         : (PVOID)MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE, (Priority)))

#define MmGetSystemAddressForMdl(Mdl)                                                                        \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                             \
         ? ((Mdl)->MappedSystemVa)                                                                           \
         : (MmMapLockedPages((Mdl), KernelMode)))

#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                                                \
    do {                                                                                                     \
        (MemoryDescriptorList)->Next = (PMDL)NULL;                                                           \
        (MemoryDescriptorList)->Size =                                                                       \
            (CSHORT)(sizeof(MDL) + (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(BaseVa, Length)));   \
        (MemoryDescriptorList)->MdlFlags = 0;                                                                \
        (MemoryDescriptorList)->StartVa = (PVOID)PAGE_ALIGN(BaseVa);                                         \
        (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET(BaseVa);                                            \
        (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                                 \
    } while (0)

#define MmPrepareMdlForReuse(Mdl)                                                                            \
    do {                                                                                                     \
        if (((Mdl)->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0) {                                          \
            ASSERT(((Mdl)->MdlFlags & MDL_PARTIAL) != 0);                                                    \
            MmUnmapLockedPages((Mdl)->MappedSystemVa, (Mdl));                                                \
        } else if (((Mdl)->MdlFlags & MDL_PARTIAL) == 0) {                                                   \
            ASSERT(((Mdl)->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0);                                        \
        }                                                                                                    \
    } while (0)
