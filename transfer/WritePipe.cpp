#include "transfer/WritePipe.h"

#include "support/KSpinLockGuard.h"
#include "support/MutexGuard.h"

void WritePipe::Destroy(ULONG flags) { DestroyObject(this, flags); }

NTSTATUS WritePipe::StartPipe(BOOLEAN resetFirst) {
  CHECK_IRQL_PASSIVE();
  MutexGuard guard(mutex);
  if (deviceGone) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = EnableAndReset(resetFirst);
  if (NT_SUCCESS(status)) {
    SetStarted(TRUE);
    // Still under the mutex, so the owner starts handing out writes before StartPipe returns.
    Client()->OnWriteComplete(STATUS_SUCCESS, deviceGone);
  }
  return status;
}

TransferBuffer* WritePipe::AcquireBuffer() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  // Read without a lock: a stale answer only hands a buffer out a moment early or late.
  if (recoveryPending || !started || deviceGone || pool.FreeCountHint() <= 1) return nullptr;
  return pool.Take();
}

VOID WritePipe::SubmitWrite(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(clientLock);
  BOOLEAN endsOnPacketBoundary = EndsOnPacketBoundary(buffer->length);
  FillTransferUrb(buffer, USBD_TRANSFER_DIRECTION_OUT, buffer->length, buffer->data.mdl);
  if (!Submit(buffer) || !endsOnPacketBoundary) return;
  // Straight from the pool: the buffer AcquireBuffer kept back is this one's.
  TransferBuffer* zeroLength = pool.Take();
  if (!zeroLength) return;
  zeroLength->length = 0;
  FillTransferUrb(zeroLength, USBD_TRANSFER_DIRECTION_OUT, 0, nullptr);
  Submit(zeroLength);
}

BOOLEAN WritePipe::EndsOnPacketBoundary(ULONG length) const {
  USHORT packetSize = pipeInfo.MaximumPacketSize;
  return packetSize != 0 && length % packetSize == 0;
}

VOID WritePipe::OnTransferComplete(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(clientLock);
  NTSTATUS status = ExamineCompletionLocked(buffer);
  buffer->ReturnToPool();  // before the client hears of it, success or not
  if (!NT_SUCCESS(status)) {
    // The client is not called: writes are refused until the restart announces itself.
    if (!deviceGone) ScheduleRecovery();
    return;
  }
  guard.Unlock();
  Client()->OnWriteComplete(status, deviceGone);
}
