// The pipe's binding to its endpoint, its switches, submission and the pipe requests.
#include "transfer/UsbPipe.h"

#include "usb/StringHelpers.h"

UsbPipe::UsbPipe(BOOLEAN input)
    : target(nullptr),
      isInput(input),
      running(FALSE),
      deferredDelivery(FALSE),
      deliveryQueued(FALSE),
      delivering(FALSE),
      lock(0),
      outstandingList(LINK_OFFSET(TransferBuffer, link)),
      inFlight(0),
      deliveryDevice(nullptr),
      racedToWorkItem(0),
      racedToDpc(0),
      reentries(0),
      emptyPasses(0),
      multiPasses(0) {
  RtlZeroMemory(&pipeInfo, sizeof pipeInfo);
  RtlZeroMemory(label, sizeof label);
  CopyStringBounded(label, input ? "in " : "out", sizeof label);
  InitializeSpinLock(&lock, "UsbPipe::lock");
  KeInitializeDpc(&dpc, DeliveryDpcRoutine, this);
}

UsbPipe::~UsbPipe() { WaitUntilIdle(); }

void UsbPipe::Destroy(ULONG flags) { DestroyObject(this, flags); }

VOID UsbPipe::OnTransferComplete(TransferBuffer* buffer) { buffer->ReturnToPool(); }

NTSTATUS UsbPipe::Bind(UsbTarget& usbTarget, ConfigurationSelector& selector, UCHAR endpointAddress) {
  CHECK_IRQL_PASSIVE();
  PUSBD_PIPE_INFORMATION found = selector.FindPipeByAddress(endpointAddress);
  if (!found) return STATUS_UNSUCCESSFUL;
  pipeInfo = *found;
  target = &usbTarget;
  return STATUS_SUCCESS;
}

VOID UsbPipe::Unbind() {
  CHECK_IRQL_PASSIVE();
  target = nullptr;
  RtlZeroMemory(&pipeInfo, sizeof pipeInfo);
}

NTSTATUS UsbPipe::SetDeliveryMode(BOOLEAN deferred, PDEVICE_OBJECT deviceObject) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  if (deferred && !deviceObject) return STATUS_INVALID_PARAMETER;
  if (running) return STATUS_UNSUCCESSFUL;
  deferredDelivery = deferred;
  deliveryDevice = deviceObject;
  return STATUS_SUCCESS;
}

NTSTATUS UsbPipe::Enable() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  if (!target) return STATUS_UNSUCCESSFUL;
  running = TRUE;
  return STATUS_SUCCESS;
}

VOID UsbPipe::Disable() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  // A delivery run already queued still comes, counted in activity, and sends the buffers home.
  running = FALSE;
}

BOOLEAN UsbPipe::Submit(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  // Only whoever holds a buffer submits it; one still on a list is in the pool or in flight.
  DRIVER_VERIFY(!buffer->link.IsLinked());
  buffer->pipe = this;
  IoReuseIrp(buffer->irp, STATUS_UNSUCCESSFUL);
  {
    KSpinLockGuard guard(lock);
    if (!running) {
      buffer->ReturnToPool();
      return FALSE;
    }
    buffer->submitReturned = FALSE;
    buffer->completed = FALSE;
    inFlight++;
    outstandingList.InsertTail(buffer);
    activity.Increment();
  }
  // The completion routine runs for success, error and cancel alike: every outcome arrives
  // there, so what the lower driver returns adds nothing.
  target->SubmitUrbAsync(buffer->urb, buffer->irp, TransferCompletionRoutine, buffer);

  KSpinLockGuard guard(lock);
  BOOLEAN completedEarly = buffer->completed;
  buffer->submitReturned = TRUE;
  if (!completedEarly) return TRUE;  // the completion routine will deliver it
  // The completion routine ran inside the call above and left the buffer to this submitter,
  // which usually holds the client lock that delivery takes: never deliver from here.
  if (!running) {
    ReturnUndeliveredLocked(buffer);
  } else if (deferredDelivery) {
    QueueDeferredDeliveryLocked();
    racedToWorkItem++;
  } else {
    QueueDpcDeliveryLocked();
    racedToDpc++;
  }
  // Whichever of submitter and completion routine is done with the transfer second lets go of
  // its activity, under the lock: a drain that sees it idle can no longer meet this submitter.
  activity.Decrement();
  return TRUE;
}

VOID UsbPipe::FillTransferUrb(TransferBuffer* buffer, ULONG transferFlags, ULONG length, PMDL mdl) {
  RtlZeroMemory(buffer->urb, buffer->urbLength);
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = buffer->urb->UrbBulkOrInterruptTransfer;
  transfer.Hdr.Length = sizeof transfer;
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = pipeInfo.PipeHandle;
  transfer.TransferFlags = transferFlags;
  transfer.TransferBufferLength = length;
  transfer.TransferBufferMDL = mdl;
}

NTSTATUS UsbPipe::ResetPipe(ULONG timeoutMs, USBD_STATUS* usbdStatus) {
  return PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, timeoutMs, usbdStatus);
}

NTSTATUS UsbPipe::AbortPipe(ULONG timeoutMs, USBD_STATUS* usbdStatus) {
  return PipeRequest(URB_FUNCTION_ABORT_PIPE, timeoutMs, usbdStatus);
}

NTSTATUS UsbPipe::PipeRequest(USHORT function, ULONG timeoutMs, USBD_STATUS* usbdStatus) {
  CHECK_IRQL_PASSIVE();
  if (!target) return STATUS_INTERNAL_ERROR;
  return target->PipeRequest(function, pipeInfo.PipeHandle, timeoutMs, usbdStatus);
}
