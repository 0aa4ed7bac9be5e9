// Completion and in-order delivery. Each buffer on the outstanding list carries two flags,
// changed only under the pipe lock: 'completed' (its IRP came back) and 'submitReturned' (its
// submitter is out of the lower driver call). Whichever of the two is set second decides what
// happens next; only the head of the list is ever delivered, and only by one pass at a time.
#include "transfer/UsbPipe.h"

NTSTATUS NTAPI UsbPipe::TransferCompletionRoutine(PDEVICE_OBJECT, PIRP, PVOID context) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  auto* buffer = static_cast<TransferBuffer*>(context);
  UsbPipe* pipe = buffer->pipe;
  KSpinLockGuard guard(pipe->lock);
  // An IRP comes back once per submission.
  DRIVER_VERIFY(!buffer->completed);
  DRIVER_VERIFY(pipe->inFlight > 0);
  buffer->completed = TRUE;
  pipe->inFlight--;
  // The submitter is still inside the lower driver call: it takes the buffer from here, and
  // the transfer's activity with it. The IRP belongs to the buffer and is reused.
  if (!buffer->submitReturned) return STATUS_MORE_PROCESSING_REQUIRED;
  if (!pipe->running) {
    pipe->ReturnUndeliveredLocked(buffer);
  } else if (pipe->deferredDelivery) {
    pipe->QueueDeferredDeliveryLocked();
  } else {
    pipe->DeliverCompletedLocked(guard);
  }
  // Under the lock, so that releasing it is this routine's last touch of the pipe.
  pipe->activity.Decrement();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID UsbPipe::DeliverCompletedLocked(KSpinLockGuard& guard) {
  // The pass already running finds whatever became deliverable meanwhile.
  if (delivering) {
    reentries++;
    return;
  }
  delivering = TRUE;
  ULONG delivered = 0;
  for (TransferBuffer* head = outstandingList.Next(nullptr); head && head->completed && head->submitReturned;
       head = outstandingList.Next(nullptr)) {
    outstandingList.Remove(head);
    if (running) {
      guard.Unlock();
      OnTransferComplete(head);  // the subclass owns the buffer from here
      guard.Relock();
    } else {
      head->ReturnToPool();
    }
    delivered++;
  }
  if (delivered == 0) emptyPasses++;
  if (delivered > 1) multiPasses++;
  delivering = FALSE;
}

VOID UsbPipe::ReturnUndeliveredLocked(TransferBuffer* buffer) {
  outstandingList.Remove(buffer);
  buffer->ReturnToPool();
}

VOID UsbPipe::QueueDpcDeliveryLocked() {
  // A DPC already queued is not queued twice: its one run delivers everything deliverable.
  if (KeInsertQueueDpc(&dpc, nullptr, nullptr)) activity.Increment();
}

VOID NTAPI UsbPipe::DeliveryDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  CHECK_IRQL_DISPATCH();
  auto* pipe = static_cast<UsbPipe*>(context);
  KSpinLockGuard guard(pipe->lock);
  pipe->DeliverCompletedLocked(guard);
  pipe->activity.Decrement();  // under the lock, like the completion routine's
}

VOID UsbPipe::QueueDeferredDeliveryLocked() {
  // A run queued and not yet started delivers everything deliverable when it starts.
  if (deliveryQueued) return;
  if (deliveryCall.Queue(deliveryDevice, DeliveryWorkRoutine, this, nullptr, CriticalWorkQueue)) {
    deliveryQueued = TRUE;
    activity.Increment();
    return;
  }
  // No work item. Left on the list, the buffers would wait for a completion that may never
  // come; the DPC delivers them, at DISPATCH_LEVEL as any client must take.
  QueueDpcDeliveryLocked();
}

VOID UsbPipe::DeliveryWorkRoutine(PDEVICE_OBJECT, PVOID context, PVOID) {
  CHECK_IRQL_PASSIVE();
  auto* pipe = static_cast<UsbPipe*>(context);
  KSpinLockGuard guard(pipe->lock);
  pipe->deliveryQueued = FALSE;
  pipe->DeliverCompletedLocked(guard);
  pipe->activity.Decrement();  // under the lock, like the completion routine's
}
