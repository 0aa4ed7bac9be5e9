// The stop sequence shared by surprise removal and halt: refuse work, cancel the timers,
// close the pipes, complete what is queued, deconfigure. Running it twice is harmless.
#include "adapter/Adapter.h"
#include "ecm/NetworkDevice.h"
#include "support/MutexGuard.h"

void Adapter::StopDevice() {
  CHECK_IRQL_PASSIVE();
  DRIVER_VERIFY(Device != nullptr);
  HardwareStatus = NdisHardwareStatusNotReady;
  BOOLEAN wasPending;
  NdisMCancelTimer(&MediaStatusTimer, &wasPending);
  NdisMCancelTimer(&RequestCompleteTimer, &wasPending);
  {
    SpinLockGuard guard(Lock);
    // Cleared before the timer is cancelled, so a receive completing on another processor
    // no longer arms it, and a drain running there stops at its next frame.
    ReceiveEnabled = FALSE;
    NdisMCancelTimer(&ReceiveTimer, &wasPending);
  }
  // A drain already running, or due, may still be indicating: NDIS must not hear of a frame
  // once halt began, and the device and the adapter must outlive it.
  KeFlushQueuedDpcs();
  // A reset's close and reopen may be running on the work item: it finishes first, and a
  // reset that runs later leaves the pipes closed.
  MutexGuard pipes(PipeMutex);
  DeviceStopped = TRUE;
  Device->ClosePipes();
  {
    SpinLockGuard guard(Lock);
    SendEnabled = FALSE;
    FlushSendQueue();
    ReleaseReceiveQueueLocked();
  }
  Device->Stop();
  ForgetDeviceObjects();
  // The stop cancelled the request timer, which a power change that ended before it may have
  // armed: a set still pending would never complete otherwise.
  CompletePendingRequest();
}
