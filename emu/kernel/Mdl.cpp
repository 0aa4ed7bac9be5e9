// MDLs and page allocations. A page allocation's MDL is a pool block (the caller frees it
// with ExFreePool after MmFreePagesFromMdl); its pages are accounted apart, and must be
// unmapped before they are freed, as the platform requires.
#include "emu/kernel/Mdl.h"

#include <cstdlib>
#include <cstring>

#include "emu/kernel/Kernel.h"

using emu::AllocationKind;
using emu::CurrentContext;
using emu::Kernel;

namespace {

constexpr ULONG kPageSize = 4096;
constexpr ULONG kMdlTag = 0x6C644D4D;  // "MMdl"
constexpr uint64_t kPagesMagic = 0x5345474150454D55ull;

// What follows the MDL header where the page frame numbers would be.
struct PagesTrailer {
  uint64_t magic;
  void* pages;
  size_t bytes;
};

PagesTrailer* Trailer(PMDL mdl) { return reinterpret_cast<PagesTrailer*>(mdl + 1); }

bool IsPagesMdl(PMDL mdl) {
  return Kernel::Current().pool().Knows(mdl, AllocationKind::ExPool) && Trailer(mdl)->magic == kPagesMagic;
}

void InitializeMdl(PMDL mdl, void* address, ULONG length) {
  std::memset(mdl, 0, sizeof *mdl);
  auto va = reinterpret_cast<uintptr_t>(address);
  mdl->Size = static_cast<CSHORT>(sizeof(MDL));
  mdl->StartVa = reinterpret_cast<PVOID>(va & ~uintptr_t{kPageSize - 1});
  mdl->ByteOffset = static_cast<ULONG>(va & (kPageSize - 1));
  mdl->ByteCount = length;
}

}  // namespace

namespace emu {

PMDL CreatePlatformMdl(void* address, ULONG length, bool mapped) {
  auto mdl = static_cast<PMDL>(std::malloc(sizeof(MDL)));
  InitializePlatformMdl(mdl, address, length, mapped);
  return mdl;
}

void InitializePlatformMdl(PMDL mdl, void* address, ULONG length, bool mapped) {
  InitializeMdl(mdl, address, length);
  if (mapped) {
    mdl->MappedSystemVa = address;
    mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
  } else {
    mdl->MdlFlags = MDL_PAGES_LOCKED;
  }
}

void FreePlatformMdl(PMDL mdl) { std::free(mdl); }

void* MdlMemory(PMDL mdl) {
  if (IsPagesMdl(mdl)) return Trailer(mdl)->pages;
  return static_cast<PCHAR>(mdl->StartVa) + mdl->ByteOffset;
}

}  // namespace emu

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IoAllocateMdl above DISPATCH_LEVEL");
  if (Irp) kernel.verifier().Report("mdl", "IoAllocateMdl attaching to an IRP is not emulated");
  if (kernel.faults().ShouldFail(emu::FaultPoint::Mdl)) return nullptr;
  auto mdl = static_cast<PMDL>(std::malloc(sizeof(MDL)));
  InitializeMdl(mdl, VirtualAddress, Length);
  kernel.pool().Track(mdl, AllocationKind::Mdl, sizeof(MDL));
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Kernel::Current().pool().Untrack(Mdl, AllocationKind::Mdl, 0, "IoFreeMdl")) std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MappedSystemVa =
      static_cast<PCHAR>(MemoryDescriptorList->StartVa) + MemoryDescriptorList->ByteOffset;
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                 PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > APC_LEVEL)
    kernel.verifier().Report("irql", "MmAllocatePagesForMdl above APC_LEVEL");
  if (kernel.faults().ShouldFail(emu::FaultPoint::Pages)) return nullptr;
  size_t bytes = (TotalBytes + kPageSize - 1) / kPageSize * kPageSize;
  if (bytes == 0) return nullptr;
  // The platform may deliver less than asked for; callers must check ByteCount.
  SIZE_T delivered = kernel.faults().ShortPagesOn() ? TotalBytes - 1 : TotalBytes;
  void* pages = std::aligned_alloc(kPageSize, bytes);
  std::memset(pages, 0xCD, bytes);
  kernel.pool().Track(pages, AllocationKind::PagesMdl, bytes);
  auto mdl = static_cast<PMDL>(kernel.pool().Allocate(AllocationKind::ExPool, NonPagedPool,
                                                      sizeof(MDL) + sizeof(PagesTrailer), kMdlTag));
  InitializeMdl(mdl, nullptr, static_cast<ULONG>(delivered));
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  *Trailer(mdl) = PagesTrailer{kPagesMagic, pages, bytes};
  return mdl;
}

VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList) {
  Kernel& kernel = Kernel::Current();
  if (!IsPagesMdl(MemoryDescriptorList)) {
    kernel.verifier().Report("mdl", "MmFreePagesFromMdl of an MDL that MmAllocatePagesForMdl did not make");
    return;
  }
  PagesTrailer* trailer = Trailer(MemoryDescriptorList);
  if (!trailer->pages) {
    kernel.verifier().Report("mdl", "MmFreePagesFromMdl twice on one MDL");
    return;
  }
  if (MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
    kernel.verifier().Report("mdl", "MmFreePagesFromMdl of pages still mapped: MmUnmapLockedPages "
                                    "must come first or the system mapping leaks");
  if (kernel.pool().Untrack(trailer->pages, AllocationKind::PagesMdl, 0, "MmFreePagesFromMdl"))
    std::free(trailer->pages);
  trailer->pages = nullptr;
  MemoryDescriptorList->ByteCount = 0;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                         ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "MmMapLockedPagesSpecifyCache above DISPATCH_LEVEL");
  if (AccessMode != KernelMode)
    kernel.verifier().Report("mdl", "MmMapLockedPagesSpecifyCache into user mode is not emulated");
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
    kernel.verifier().Report("mdl", "MmMapLockedPagesSpecifyCache of an MDL that is already mapped");
    return mdl->MappedSystemVa;
  }
  if (kernel.faults().ShouldFail(emu::FaultPoint::Mapping)) return nullptr;
  void* address = IsPagesMdl(mdl) ? Trailer(mdl)->pages
                                  : static_cast<PCHAR>(mdl->StartVa) + mdl->ByteOffset;
  mdl->MappedSystemVa = address;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return address;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  Kernel& kernel = Kernel::Current();
  if (!(MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) ||
      MemoryDescriptorList->MappedSystemVa != BaseAddress) {
    kernel.verifier().Report("mdl", "MmUnmapLockedPages of an address the MDL is not mapped at");
    return;
  }
  MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

}  // extern "C"
