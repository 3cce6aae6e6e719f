// Memory descriptor lists over the flat memory of the emulation: an MDL describes a range of the
// process's memory; locking records its pages, mapping gives back the range itself. The flags follow
// the platform, including MDL_PARTIAL_HAS_BEEN_MAPPED on a partial MDL that has been mapped, which its
// driver must unmap before building it again.
#include <wdm.h>

#include <new>
#include <string>
#include <unordered_set>

#include "io/mdls.h"
#include "tarvel/kernel.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

using namespace tarvel;

namespace {

auto& liveMdls = *new std::unordered_set<const MDL*>();  // never destroyed, so still reachable when the leak checker runs at exit

PPFN_NUMBER Pages(PMDL mdl) { return MmGetMdlPfnArray(mdl); }
char* StartOf(PMDL mdl) { return static_cast<char*>(MmGetMdlVirtualAddress(mdl)); }

void FillPages(PMDL mdl) {
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(StartOf(mdl), mdl->ByteCount);
  const PFN_NUMBER first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
  for (ULONG i = 0; i < pages; ++i) Pages(mdl)[i] = first + i;
}

void RequireMdlRoom(PMDL mdl, const char* routine) {
  const SIZE_T needed = sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(StartOf(mdl), mdl->ByteCount);
  if (static_cast<SIZE_T>(static_cast<USHORT>(mdl->Size)) < needed) {
    kernel::VerifierStop("MDL too small for the range it describes", routine, mdl,
                         "Size " + std::to_string(static_cast<USHORT>(mdl->Size)) + ", needs " + std::to_string(needed));
  }
}

}  // namespace

namespace tarvel::io {
std::size_t LiveMdlCount() { return liveMdls.size(); }
}  // namespace tarvel::io

extern "C" {

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  kernel::SwitchPoint();
  if (Length >= 0x80000000u - PAGE_SIZE) return nullptr;  // larger than one MDL may describe
  if (kernel::ShouldFail(kernel::FaultSite::Mdl)) return nullptr;
  const SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
  auto* mdl = static_cast<PMDL>(::operator new(size));
  memset(mdl, 0, size);
  MmInitializeMdl(mdl, VirtualAddress, Length);
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  liveMdls.insert(mdl);
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL* tail = &Irp->MdlAddress;
      while (*tail != nullptr) tail = &(*tail)->Next;
      *tail = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  kernel::SwitchPoint();
  if (liveMdls.erase(Mdl) == 0) {
    kernel::VerifierStop("MDL freed that IoAllocateMdl did not allocate", "IoFreeMdl", Mdl,
                         "freed twice, or not allocated by IoAllocateMdl");
  }
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    kernel::VerifierStop("MDL freed with its pages locked", "IoFreeMdl", Mdl, "call MmUnlockPages first");
  }
  ::operator delete(Mdl);
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  kernel::SwitchPoint();
  if (!(SourceMdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
    kernel::VerifierStop("partial MDL built from an MDL whose pages are not locked", "IoBuildPartialMdl", SourceMdl);
  }
  if (TargetMdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
    kernel::VerifierStop("partial MDL built again while still mapped", "IoBuildPartialMdl", TargetMdl,
                         "unmap it (MmUnmapLockedPages or MmPrepareMdlForReuse) first");
  }
  char* source = StartOf(SourceMdl);
  char* start = static_cast<char*>(VirtualAddress);
  const ULONG_PTR offset = static_cast<ULONG_PTR>(start - source);
  if (start < source || offset > SourceMdl->ByteCount) {
    kernel::VerifierStop("partial MDL outside its source MDL", "IoBuildPartialMdl", TargetMdl,
                         "address lies outside the source range");
  }
  if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - offset);
  if (offset + Length > SourceMdl->ByteCount) {
    kernel::VerifierStop("partial MDL outside its source MDL", "IoBuildPartialMdl", TargetMdl,
                         "offset " + std::to_string(offset) + " + length " + std::to_string(Length) +
                             " exceeds the source's " + std::to_string(SourceMdl->ByteCount) + " bytes");
  }
  TargetMdl->StartVa = PAGE_ALIGN(start);
  TargetMdl->ByteOffset = BYTE_OFFSET(start);
  TargetMdl->ByteCount = Length;
  RequireMdlRoom(TargetMdl, "IoBuildPartialMdl");
  TargetMdl->MdlFlags = static_cast<CSHORT>((TargetMdl->MdlFlags & (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED)) |
                                            MDL_PARTIAL | (SourceMdl->MdlFlags & MDL_IO_SPACE));
  TargetMdl->MappedSystemVa = nullptr;
  if (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
    TargetMdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    TargetMdl->MappedSystemVa = static_cast<char*>(SourceMdl->MappedSystemVa) + offset;
  } else if (SourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    TargetMdl->MdlFlags |= MDL_PARENT_MAPPED_SYSTEM_VA;
    TargetMdl->MappedSystemVa = static_cast<char*>(SourceMdl->MappedSystemVa) + offset;
  }
  TargetMdl->Process = SourceMdl->Process;
  FillPages(TargetMdl);
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
  UNREFERENCED_PARAMETER(AccessMode);
  kernel::SwitchPoint();
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
    kernel::VerifierStop("MDL locked twice", "MmProbeAndLockPages", mdl);
  }
  if (mdl->MdlFlags & (MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL)) {
    kernel::VerifierStop("MmProbeAndLockPages on a partial or non-paged pool MDL", "MmProbeAndLockPages", mdl);
  }
#if defined(__SANITIZE_ADDRESS__)
  // The platform raises an access violation on a buffer that is not valid memory.
  if (mdl->ByteCount != 0 && __asan_region_is_poisoned(StartOf(mdl), mdl->ByteCount) != nullptr) {
    kernel::VerifierStop("MDL describes memory that is not valid", "MmProbeAndLockPages", mdl,
                         "the range is freed or out of bounds");
  }
#endif
  RequireMdlRoom(mdl, "MmProbeAndLockPages");
  FillPages(mdl);
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
  kernel::SwitchPoint();
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    kernel::VerifierStop("MmUnlockPages on an MDL whose pages are not locked", "MmUnlockPages", mdl);
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) mdl->MappedSystemVa = nullptr;
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  kernel::SwitchPoint();
  PMDL mdl = MemoryDescriptorList;
  RequireMdlRoom(mdl, "MmBuildMdlForNonPagedPool");
  FillPages(mdl);
  mdl->MappedSystemVa = StartOf(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority) {
  UNREFERENCED_PARAMETER(AccessMode);
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(RequestedAddress);
  UNREFERENCED_PARAMETER(Priority);
  kernel::SwitchPoint();
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return mdl->MappedSystemVa;
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_PARTIAL))) {
    kernel::VerifierStop("mapping an MDL whose pages are not locked", "MmMapLockedPagesSpecifyCache", mdl);
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    kernel::VerifierStop("MDL mapped twice", "MmMapLockedPagesSpecifyCache", mdl,
                         "use MmGetSystemAddressForMdlSafe, which maps only once");
  }
  // System address space can run out on the platform; MmGetSystemAddressForMdlSafe then gives NULL.
  if (!BugCheckOnFailure && kernel::ShouldFail(kernel::FaultSite::Mdl)) return nullptr;
  mdl->MappedSystemVa = StartOf(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  return mdl->MappedSystemVa;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE, NormalPagePriority);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  kernel::SwitchPoint();
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
    kernel::VerifierStop("unmapping an MDL that is not mapped", "MmUnmapLockedPages", mdl);
  }
  if (BaseAddress != mdl->MappedSystemVa) {
    kernel::VerifierStop("unmapping at an address the MDL is not mapped at", "MmUnmapLockedPages", mdl);
  }
  mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
  if (!(mdl->MdlFlags & MDL_PARENT_MAPPED_SYSTEM_VA)) mdl->MappedSystemVa = nullptr;
}

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

PMDL MmCreateMdl(PMDL MemoryDescriptorList, PVOID Base, SIZE_T Length) {
  kernel::SwitchPoint();
  PMDL mdl = MemoryDescriptorList;
  if (mdl == nullptr) {
    mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, MmSizeOfMdl(Base, Length), 'ldmM'));
    if (mdl == nullptr) return nullptr;
  }
  MmInitializeMdl(mdl, Base, Length);
  return mdl;
}

BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
#if defined(__SANITIZE_ADDRESS__)
  return __asan_address_is_poisoned(VirtualAddress) ? FALSE : TRUE;
#else
  return VirtualAddress != nullptr;
#endif
}

}  // extern "C"
