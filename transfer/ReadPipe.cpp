#include "transfer/ReadPipe.h"

#include "support/KSpinLockGuard.h"
#include "support/MutexGuard.h"

void ReadPipe::Destroy(ULONG flags) { DestroyObject(this, flags); }

NTSTATUS ReadPipe::StartPipe(BOOLEAN resetFirst) {
  CHECK_IRQL_PASSIVE();
  MutexGuard guard(mutex);
  // A gone device is not refused here: no read is submitted for it.
  NTSTATUS status = EnableAndReset(resetFirst);
  if (NT_SUCCESS(status)) {
    SetStarted(TRUE);
    ResumeReads();
  }
  return status;
}

VOID ReadPipe::ResumeReads() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(clientLock);
  SubmitReadsLocked();
}

VOID ReadPipe::SubmitReadsLocked() {
  while (started && !deviceGone) {
    TransferBuffer* buffer = pool.Take();
    if (!buffer) return;
    FillTransferUrb(buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer->data.length,
                    buffer->data.mdl);
    if (!Submit(buffer)) return;  // disabled: the buffer is back in the pool already
  }
}

VOID ReadPipe::OnTransferComplete(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(clientLock);
  // Bytes received, never more than the buffer holds, whatever the lower driver reports.
  ULONG received = buffer->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  buffer->length = received < buffer->data.length ? received : buffer->data.length;
  NTSTATUS status = ExamineCompletionLocked(buffer);
  if (!NT_SUCCESS(status)) {
    Client()->OnReadError(status, deviceGone);
    buffer->ReturnToPool();
    if (!deviceGone) ScheduleRecovery();
    return;
  }
  guard.Unlock();
  Client()->OnReadComplete(buffer);  // the client holds the buffer from here
}
