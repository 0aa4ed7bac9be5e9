// Draining: abort until nothing is in flight, wait for deliveries, and take back what the
// pipe still holds. Every wait decides on counts read under the pipe lock; the activity event
// only wakes the waiter early.
#include "transfer/UsbPipe.h"

#include "support/Wait.h"

NTSTATUS UsbPipe::AbortAndDrain(ULONG totalMs, ULONG stepMs) {
  CHECK_IRQL_PASSIVE();
  Disable();  // unbound too: a stop leaves the pipe refusing transfers, whatever it finds
  if (!target) return STATUS_UNSUCCESSFUL;
  for (ULONG elapsed = 0; InFlight() != 0; elapsed += stepMs) {
    if (elapsed >= totalMs) {
      // The transfers still in flight come home through their completion routines, since the
      // pipe is disabled; those already done would otherwise wait for a delivery that never comes.
      KSpinLockGuard guard(lock);
      ReturnFinishedLocked();
      return STATUS_IO_TIMEOUT;
    }
    AbortPipe(kPipeRequestTimeoutMs, nullptr);
    WaitMilliseconds(&activity.event, stepMs, Executive, KernelMode, FALSE);
  }
  // Delivery DPCs still queued, and completion routines or submitters still on their way out.
  if (!WaitForActivityToEnd(totalMs, stepMs)) {
    KSpinLockGuard guard(lock);
    ReturnFinishedLocked();
    return STATUS_IO_TIMEOUT;
  }
  // Only what has come home goes back, and only while the pipe is still disabled: a repair may
  // have enabled it and put the buffers out again since the count above was read.
  KSpinLockGuard guard(lock);
  if (!running) ReturnFinishedLocked();
  return STATUS_SUCCESS;
}

VOID UsbPipe::WaitUntilIdle() {
  CHECK_IRQL_PASSIVE();
  Disable();
  // The IRPs, the buffers and the pipe itself must outlive every completion routine that can
  // still reach them, however long the lower driver takes; each round asks it again to abort.
  while (!WaitForActivityToEnd(kPipeRequestTimeoutMs, kPipeRequestTimeoutMs))
    AbortPipe(kPipeRequestTimeoutMs, nullptr);
  deliveryCall.CancelAndWait();
  ReturnOutstanding();
}

BOOLEAN UsbPipe::WaitForActivityToEnd(ULONG totalMs, ULONG stepMs) {
  for (ULONG elapsed = 0;; elapsed += stepMs) {
    {
      KSpinLockGuard guard(lock);
      if (activity.count == 0) return TRUE;
      // The count changes only under this lock, so the event should be clear now; should a late
      // signal have left it set, clearing it keeps the wait below from returning at once.
      KeClearEvent(&activity.event);
    }
    if (elapsed >= totalMs) return FALSE;
    WaitMilliseconds(&activity.event, stepMs, Executive, KernelMode, FALSE);
  }
}

ULONG UsbPipe::InFlight() {
  KSpinLockGuard guard(lock);
  return inFlight;
}

VOID UsbPipe::ReturnOutstanding() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  while (TransferBuffer* buffer = outstandingList.PopHead()) buffer->ReturnToPool();
}

VOID UsbPipe::ReturnFinishedLocked() {
  TransferBuffer* next;
  for (TransferBuffer* buffer = outstandingList.Next(nullptr); buffer; buffer = next) {
    next = outstandingList.Next(buffer);
    if (buffer->completed && buffer->submitReturned) ReturnUndeliveredLocked(buffer);
  }
}
