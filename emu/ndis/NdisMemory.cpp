// NdisAllocateMemoryWithTag and NdisFreeMemory over the accounted pool.
#include "emu/kernel/Kernel.h"

using emu::AllocationKind;
using emu::Kernel;

extern "C" {

NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag) {
  Kernel& kernel = Kernel::Current();
  if (emu::CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "NdisAllocateMemoryWithTag above DISPATCH_LEVEL");
  if (kernel.faults().ShouldFail(emu::FaultPoint::Pool, Tag)) {
    *VirtualAddress = nullptr;
    return NDIS_STATUS_FAILURE;
  }
  *VirtualAddress = kernel.pool().Allocate(AllocationKind::NdisMemory, NonPagedPool, Length, Tag);
  return NDIS_STATUS_SUCCESS;
}

VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags) {
  Kernel& kernel = Kernel::Current();
  if (emu::CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "NdisFreeMemory above DISPATCH_LEVEL");
  kernel.pool().Free(VirtualAddress, AllocationKind::NdisMemory, 0, "NdisFreeMemory");
}

}  // extern "C"
