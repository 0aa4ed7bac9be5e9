// The two roads down to the bus driver: a synchronous one that owns its IRP and waits with a
// time-out, and an asynchronous one in the caller's IRP for the pipes.
#include "usb/UsbTarget.h"

#include "support/Wait.h"

namespace {

// The stack location the bus driver will see; the completion routine is set by the caller.
void FillUrbRequest(PIRP irp, PURB urb) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
}

}  // namespace

NTSTATUS UsbTarget::SubmitUrb(PURB urb, ULONG timeoutMs) {
  CHECK_IRQL_PASSIVE();
  urb->UrbHeader.Status = kUsbdStatusNotSent;
  // A target whose owner has let go of the device (or never set it) has no road down.
  if (!LowerDevice) return STATUS_INVALID_DEVICE_STATE;
  PIRP irp = IoAllocateIrp(LowerDevice->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  FillUrbRequest(irp, urb);
  NTSTATUS status = CallAndWait(irp, timeoutMs);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS UsbTarget::CallAndWait(PIRP irp, ULONG timeoutMs) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, WakeWaiter, &done, TRUE, TRUE, TRUE);
  // The completion routine runs for every outcome, so what the call returns adds nothing.
  IofCallDriver(LowerDevice, irp);
  if (timeoutMs == 0) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
  }
  NTSTATUS waited = WaitMilliseconds(&done, timeoutMs, Executive, KernelMode, FALSE);
  if (waited == STATUS_SUCCESS) return irp->IoStatus.Status;
  // The URB and the event live in this frame: the IRP must be back before it is left.
  IoCancelIrp(irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return waited == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : waited;
}

NTSTATUS NTAPI UsbTarget::WakeWaiter(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PRKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UsbTarget::SubmitUrbAsync(PURB urb, PIRP irp, PIO_COMPLETION_ROUTINE completion, PVOID context) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  urb->UrbHeader.Status = kUsbdStatusNotSent;
  FillUrbRequest(irp, urb);
  IoSetCompletionRoutine(irp, completion, context, TRUE, TRUE, TRUE);
  return IofCallDriver(LowerDevice, irp);
}
