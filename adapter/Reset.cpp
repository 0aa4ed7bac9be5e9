// Reset. NDIS may call MiniportReset at DISPATCH_LEVEL, but closing and reopening the pipes
// waits for them, so that part runs on a work item and the reset completes from there.
#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"
#include "ecm/NetworkDevice.h"
#include "support/MutexGuard.h"

NDIS_STATUS Adapter::ResetDevice() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  SpinLockGuard guard(Lock);
  FlushSendQueue();
  // NDIS issues no reset while one is pending; should one come, the pending one covers it.
  if (ResetPending) return NDIS_STATUS_RESET_IN_PROGRESS;
  ResetPending = TRUE;
  if (ResetCall.Queue(FunctionalDevice, ResetRoutine, this, nullptr, DelayedWorkQueue)) return NDIS_STATUS_PENDING;
  // No work item: the queue is flushed, the pipes stay as they are, and the reset fails at
  // once rather than never completing, with the one failure status NDIS documents for a reset.
  ResetPending = FALSE;
  return NDIS_STATUS_HARD_ERRORS;
}

VOID Adapter::ResetRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument) {
  static_cast<Adapter*>(context)->ResetPipes();
}

void Adapter::ResetPipes() {
  CHECK_IRQL_PASSIVE();
  {
    MutexGuard pipes(PipeMutex);
    if (!DeviceStopped) {
      Device->ClosePipes();
      Device->OpenPipes();  // a pipe that does not reopen shows in the traffic, not here
    }
  }
  {
    // Cleared first, so a reset NDIS starts from the completion is taken.
    SpinLockGuard guard(Lock);
    ResetPending = FALSE;
  }
  NdisMResetComplete(MiniportAdapterHandle, NDIS_STATUS_SUCCESS, FALSE);
}

// NDIS resets a deserialized miniport only for a request that stays pending, or when this says
// so: without it, pipes that failed to start again after a power-up, a reset or a repair
// would stay stopped, and the packets queued for them would never complete; and a filter set
// whose request found no work item would never reach the device.
BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext) {
  CHECK_IRQL_DISPATCH();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  return !adapter->DeviceStopped && adapter->Device->NeedsReset();
}

NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  *AddressingReset = FALSE;
  return static_cast<Adapter*>(MiniportAdapterContext)->ResetDevice();
}
