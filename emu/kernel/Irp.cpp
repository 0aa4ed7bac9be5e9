// IRPs: allocation, the stack of locations, IofCallDriver into the lower device's dispatch
// routine, completion up the stack with the invoke-on rules, and cancellation.
#include <cstdlib>
#include <cstring>

#include "emu/kernel/Kernel.h"

using emu::AllocationKind;
using emu::CurrentContext;
using emu::Kernel;

namespace {

constexpr CSHORT kIrpType = 6;

PIO_STACK_LOCATION FirstLocation(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

void Initialize(PIRP irp, CCHAR stackSize, USHORT size) {
  std::memset(irp, 0, size);
  irp->Type = kIrpType;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = FirstLocation(irp) + stackSize;
  irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

// A lower driver holds the IRP while one of its stack locations is current.
bool HeldBelow(PIRP irp) { return irp->CurrentLocation <= irp->StackCount; }

bool Known(PIRP irp, const char* function) {
  Kernel& kernel = Kernel::Current();
  if (kernel.pool().Knows(irp, AllocationKind::Irp)) return true;
  kernel.verifier().Report("irp", std::string(function) + " of an IRP that is not allocated (freed already?)");
  return false;
}

bool ShouldInvoke(const IO_STACK_LOCATION* location, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
         (irp->Cancel && (location->Control & SL_INVOKE_ON_CANCEL));
}

}  // namespace

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IoAllocateIrp above DISPATCH_LEVEL");
  if (StackSize < 1) kernel.verifier().Report("irp", "IoAllocateIrp with a stack size below 1");
  if (kernel.faults().ShouldFail(emu::FaultPoint::Irp)) return nullptr;
  auto size = static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
  auto irp = static_cast<PIRP>(std::malloc(size));
  Initialize(irp, StackSize, size);
  kernel.pool().Track(irp, AllocationKind::Irp, size);
  return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  Kernel& kernel = Kernel::Current();
  if (!Known(Irp, "IoFreeIrp")) return;
  if (HeldBelow(Irp)) {
    kernel.verifier().Report("irp", "IoFreeIrp of an IRP that a lower driver still holds");
    return;
  }
  if (kernel.pool().Untrack(Irp, AllocationKind::Irp, 0, "IoFreeIrp")) std::free(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  Kernel& kernel = Kernel::Current();
  if (!Known(Irp, "IoReuseIrp")) return;
  if (HeldBelow(Irp)) {
    kernel.verifier().Report("irp", "IoReuseIrp of an IRP that a lower driver still holds");
    return;
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  Initialize(Irp, Irp->StackCount, Irp->Size);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  emu::SchedulingPoint();
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IofCallDriver above DISPATCH_LEVEL");
  if (!Known(Irp, "IofCallDriver")) return STATUS_INVALID_PARAMETER;
  if (Irp->CurrentLocation <= 1)
    kernel.verifier().Fatal("irp", "IofCallDriver with no stack location left for the lower driver "
                                   "(the IRP's stack is too small for the device stack)");
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
  location->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[location->MajorFunction];
  if (!dispatch)
    kernel.verifier().Fatal("irp", "IofCallDriver: the lower driver has no dispatch routine for major "
                                   "function " + std::to_string(location->MajorFunction));
  NTSTATUS status = dispatch(DeviceObject, Irp);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  emu::SchedulingPoint();
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IoCompleteRequest above DISPATCH_LEVEL");
  if (!HeldBelow(Irp)) {
    kernel.verifier().Report("irp", "IoCompleteRequest of an IRP that no driver holds (completed twice?)");
    return;
  }
  if (Irp->CancelRoutine)
    kernel.verifier().Report("irp", "IoCompleteRequest of an IRP whose cancel routine is still set");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    kernel.verifier().Report("irp", "IoCompleteRequest with STATUS_PENDING");

  PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  while (Irp->CurrentLocation <= Irp->StackCount + 1) {
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    if (location->CompletionRoutine && ShouldInvoke(location, Irp)) {
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
      PVOID context = location->Context;
      std::memset(location, 0, sizeof *location);
      // The routine owns the IRP from here when it says so; nothing of it is touched after.
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else {
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
        Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
      std::memset(location, 0, sizeof *location);
    }
    ++location;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
  }
  // Only IRPs of a thread go back to the I/O manager; these have none.
  kernel.verifier().Report("irp", "an IRP from IoAllocateIrp reached the I/O manager: its owner's "
                                  "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
  Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 1);
  Irp->Tail.Overlay.CurrentStackLocation = FirstLocation(Irp) + Irp->StackCount;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(Kernel::Current().CancelSpinLock());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  KfReleaseSpinLock(Kernel::Current().CancelSpinLock(), Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IoCancelIrp above DISPATCH_LEVEL");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  // The cancel routine releases the cancel spin lock itself.
  routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
  for (const emu::HeldLock& held : CurrentContext().held)
    if (held.lock == kernel.CancelSpinLock())
      kernel.verifier().Report("irp", "cancel routine returned holding the cancel spin lock");
  return TRUE;
}

}  // extern "C"
