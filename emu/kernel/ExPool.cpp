// Executive pool: ExAllocatePoolWithTag and ExFreePoolWithTag over the accounted pool.
#include "emu/kernel/Kernel.h"

using emu::AllocationKind;
using emu::CurrentContext;
using emu::Kernel;

namespace {

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  Kernel& kernel = Kernel::Current();
  KIRQL irql = CurrentContext().irql;
  if (IsPaged(PoolType) && irql > APC_LEVEL)
    kernel.verifier().Report("irql", "paged pool allocated at IRQL " + std::to_string(irql) + " (tag '" +
                                         emu::TagText(Tag) + "')");
  else if (irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "pool allocated above DISPATCH_LEVEL");
  if (kernel.faults().ShouldFail(emu::FaultPoint::Pool, Tag)) return nullptr;
  return kernel.pool().Allocate(AllocationKind::ExPool, PoolType, NumberOfBytes, Tag);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "ExFreePoolWithTag above DISPATCH_LEVEL");
  kernel.pool().Free(P, AllocationKind::ExPool, Tag, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
