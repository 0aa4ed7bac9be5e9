#include "FakeLowerDevice.h"

#include <algorithm>

namespace {
FakeLowerDevice* self = nullptr;
}

FakeLowerDevice::FakeLowerDevice() {
  self = this;
  driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
  device_.DriverObject = &driver_;
  device_.StackSize = 1;
}

NTSTATUS FakeLowerDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, Cancel);
  self->held_.push_back(irp);
  return STATUS_PENDING;
}

VOID FakeLowerDevice::Cancel(PDEVICE_OBJECT device, PIRP irp) {
  self->cancelRoutineRuns++;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  self->held_.erase(std::find(self->held_.begin(), self->held_.end(), irp));
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void FakeLowerDevice::CompleteOldest(NTSTATUS status) {
  PIRP irp = held_.front();
  held_.pop_front();
  IoSetCancelRoutine(irp, nullptr);
  irp->IoStatus.Status = status;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KfLowerIrql(old);
}
