// Frames between the adapter and the bulk pipes, one Ethernet frame per transfer, and the
// three pipes in and out of service.
#include "ecm/EcmDevice.h"
#include "ecm/FrameCursor.h"
#include "support/MutexGuard.h"

NTSTATUS EcmDevice::OpenPipes() {
  CHECK_IRQL_PASSIVE();
  MutexGuard guard(PipesMutex);
  PipesClosedByOwner = FALSE;
  if (InterlockedExchange(&PowerUpUnqueued, 0)) PoweredDown = FALSE;
  if (PoweredDown) return STATUS_SUCCESS;  // the power-up opens them
  return StartPipesLocked();
}

NTSTATUS EcmDevice::ClosePipes() {
  CHECK_IRQL_PASSIVE();
  MutexGuard guard(PipesMutex);
  PipesClosedByOwner = TRUE;
  return StopPipesLocked();
}

// Bulk-out first: its start announces itself with OnWriteComplete, which runs the adapter's
// send pump. A failure leaves none of the three started and returns the failing status.
NTSTATUS EcmDevice::StartPipesLocked() {
  NTSTATUS status = StartEachPipeLocked();
  OpenFailed = !NT_SUCCESS(status);
  return status;
}

NTSTATUS EcmDevice::StartEachPipeLocked() {
  BOOLEAN resetFirst = Settings->SendClearEpHaltOnStart != 0;
  NTSTATUS status = BulkOutPipe.StartPipe(resetFirst);
  if (!NT_SUCCESS(status)) return status;
  status = BulkInPipe.StartPipe(resetFirst);
  if (!NT_SUCCESS(status)) {
    BulkOutPipe.StopForGood();
    return status;
  }
  NotificationRemainder = 0;  // what a closed pipe left half-read is gone
  status = NotificationPipe.StartPipe(resetFirst);
  if (!NT_SUCCESS(status)) {
    // A transfer that failed meanwhile has queued a repair, which must not restart its pipe.
    BulkOutPipe.StopForGood();
    BulkInPipe.StopForGood();
    return status;
  }
  // A close that came between a set and its request dropped the request; the device would
  // keep filtering as before while the adapter answers the new filter.
  if (FilterUnsent) QueuePacketFilter();
  return status;
}

// A filter request not yet started is dropped, a running one waited for: after a close
// nothing of the device talks to it.
NTSTATUS EcmDevice::StopPipesLocked() {
  BulkOutPipe.StopForGood();
  BulkInPipe.StopForGood();
  NotificationPipe.StopForGood();
  FilterDeferredCall.CancelAndWaitForRunning();
  OpenFailed = FALSE;  // closed as asked: the next open decides
  return STATUS_SUCCESS;
}

// Every 2 s at DISPATCH_LEVEL, from NDIS's hang check. Nothing else would start the pipes
// again, and the packets waiting for them would wait for ever; the reset NDIS answers with
// completes those and opens the pipes once more. A device that went is left to its removal.
BOOLEAN EcmDevice::NeedsReset() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  if (BulkOutPipe.deviceGone || BulkInPipe.deviceGone || NotificationPipe.deviceGone) return FALSE;
  if (OpenFailed || PowerUpUnqueued) return TRUE;
  // Closed pipes queue the filter again when they start; running ones need the reset's reopen.
  if (FilterUnqueued && NotificationPipe.started) return TRUE;
  return BulkOutPipe.restartFailed || BulkInPipe.restartFailed || NotificationPipe.restartFailed;
}

BOOLEAN EcmDevice::CanSend() { return BulkOutPipe.started && !BulkOutPipe.deviceGone; }

TransferBuffer* EcmDevice::GetSendBuffer() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  TransferBuffer* buffer = BulkOutPipe.AcquireBuffer();
  if (!buffer) return nullptr;
  // The adapter holds the buffer from here until it submits or releases it.
  OpenFrameCursor(buffer, 0);
  buffer->length = 0;
  return buffer;
}

void EcmDevice::SubmitSendBuffer(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  // One extra zero byte makes a frame of whole packets end short without a zero-length
  // transfer; without room for it (or with the option off) the pipe sends the zero-length
  // transfer instead.
  ULONG length = buffer->cursorLength;
  if (Settings->OneByteTermination && BulkOutPipe.EndsOnPacketBoundary(length) && length < buffer->cursorCapacity) {
    buffer->cursorStart[length] = 0x00;
    buffer->cursorLength = length + 1;
  }
  buffer->length = buffer->cursorLength;
  BulkOutPipe.SubmitWrite(buffer);  // the pipe owns the buffer from here
}

void EcmDevice::EndSendBatch() {}

// Both hand-backs are the same: the buffer goes home to the pool it came from.
void EcmDevice::ReleaseSendBuffer(TransferBuffer* buffer) { buffer->ReturnToPool(); }

void EcmDevice::ReleaseReceiveBuffer(TransferBuffer* buffer) { buffer->ReturnToPool(); }

void EcmDevice::ResumeReceive() { BulkInPipe.ResumeReads(); }

VOID EcmDevice::OnReadComplete(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  SpinLockGuard guard(*AdapterLock);
  // A frame is shorter than a receive buffer, so a read that filled its buffer is the start of
  // a longer one, which goes on in the reads up to one that ends short. That frame is dropped:
  // its first read reaches the adapter empty, where it counts as a receive error, and the
  // rest goes straight back to be read again. The flag is kept over a close: the device may
  // still hold the rest.
  BOOLEAN filled = buffer->length == buffer->data.length;
  BOOLEAN continuation = DroppingOversizedFrame;
  DroppingOversizedFrame = filled;
  if (continuation) {
    buffer->ReturnToPool();
    BulkInPipe.ResumeReads();
    return;
  }
  // Otherwise the whole transfer is the frame. The adapter owns the buffer from
  // OnReceiveReady on and gives it back with ReleaseReceiveBuffer.
  OpenFrameCursor(buffer, filled ? 0 : buffer->length);
  Sink->OnReceiveReady(buffer);
}

// The pipe has returned the buffer and repairs itself; the adapter hears nothing.
VOID EcmDevice::OnReadError(NTSTATUS, BOOLEAN) {}

VOID EcmDevice::OnWriteComplete(NTSTATUS status, BOOLEAN) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  if (NT_SUCCESS(status)) Sink->OnTransmitReady();
}
