// IO work items: routines run at PASSIVE_LEVEL on the scheduler's worker contexts.
#include "emu/kernel/Kernel.h"

using emu::AllocationKind;
using emu::CurrentContext;
using emu::Kernel;

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IoAllocateWorkItem above DISPATCH_LEVEL");
  if (!DeviceObject) kernel.verifier().Report("work-item", "IoAllocateWorkItem without a device object");
  if (kernel.faults().ShouldFail(emu::FaultPoint::WorkItem)) return nullptr;
  auto* item = new _IO_WORKITEM{DeviceObject, nullptr, nullptr, DelayedWorkQueue, false};
  kernel.pool().Track(item, AllocationKind::WorkItem, sizeof *item);
  return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "IoQueueWorkItem above DISPATCH_LEVEL");
  if (!kernel.pool().Knows(IoWorkItem, AllocationKind::WorkItem)) {
    kernel.verifier().Report("work-item", "IoQueueWorkItem of a work item that is not allocated");
    return;
  }
  if (IoWorkItem->queued) {
    kernel.verifier().Report("work-item", "IoQueueWorkItem of a work item that is already queued");
    return;
  }
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  IoWorkItem->queueType = QueueType;
  kernel.scheduler().QueueWork(IoWorkItem);
  emu::SchedulingPoint();  // an idle worker may take it at once
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  Kernel& kernel = Kernel::Current();
  if (kernel.pool().Knows(IoWorkItem, AllocationKind::WorkItem) && IoWorkItem->queued) {
    kernel.verifier().Report("work-item", "IoFreeWorkItem of a work item that is still queued");
    return;
  }
  if (kernel.pool().Untrack(IoWorkItem, AllocationKind::WorkItem, 0, "IoFreeWorkItem")) delete IoWorkItem;
}

}  // extern "C"
