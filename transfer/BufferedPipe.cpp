// Configuration, stop, self-recovery and the teardown that never lets a buffer go while a
// transfer can still reach it.
#include "transfer/BufferedPipe.h"

#include "support/KSpinLockGuard.h"
#include "support/MutexGuard.h"
#include "support/Wait.h"

BufferedPipe::BufferedPipe(BOOLEAN input)
    : UsbPipe(input),
      started(FALSE),
      deviceGone(FALSE),
      clientLock(0),
      ownerDevice(nullptr),
      recoveryPending(FALSE),
      restartFailed(FALSE),
      repairsWithoutSuccess(0),
      client(nullptr) {
  KeInitializeEvent(&repairWake, NotificationEvent, FALSE);
  InitializeMutex(&mutex, "BufferedPipe::mutex");
  InitializeSpinLock(&clientLock, "BufferedPipe::clientLock");
}

BufferedPipe::~BufferedPipe() {
  StopForRelease();
  pool.DestroyAll();
  Unbind();
}

VOID BufferedPipe::StopForRelease() {
  CHECK_IRQL_PASSIVE();
  // Stopping once and waiting for the running repair is not enough: the pipe it restarted may
  // fail again and queue the next repair, which would restart the pipe as the buffers go.
  StopForGood();
  // A drain that timed out left transfers in flight; their completion routines still reach
  // the pipe, its pool and its buffers.
  WaitUntilIdle();
}

void BufferedPipe::Destroy(ULONG flags) { DestroyObject(this, flags); }

NTSTATUS BufferedPipe::StartPipe(BOOLEAN) { return STATUS_SUCCESS; }

NTSTATUS BufferedPipe::Configure(UsbTarget& usbTarget, ConfigurationSelector& selector, UCHAR endpointAddress,
                                 PDEVICE_OBJECT deviceObject, PVOID pipeClient, ULONG count, ULONG size) {
  CHECK_IRQL_PASSIVE();
  MutexGuard guard(mutex);
  client = pipeClient;
  ownerDevice = deviceObject;
  SetDeliveryMode(FALSE, deviceObject);
  NTSTATUS status = Bind(usbTarget, selector, endpointAddress);
  if (!NT_SUCCESS(status)) return status;
  pool.DestroyAll();  // a second Configure starts from an empty pool
  return pool.Fill(count, size, static_cast<UCHAR>(usbTarget.LowerDevice->StackSize));
}

NTSTATUS BufferedPipe::EnableAndReset(BOOLEAN resetFirst) {
  CHECK_IRQL_PASSIVE();
  Enable();
  return resetFirst ? ResetPipe(kPipeRequestTimeoutMs, nullptr) : STATUS_SUCCESS;
}

NTSTATUS BufferedPipe::StopPipe() {
  CHECK_IRQL_PASSIVE();
  SetStarted(FALSE);
  return AbortAndDrain(kDrainTotalMs, kDrainStepMs);
}

VOID BufferedPipe::SetStarted(BOOLEAN value) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(clientLock);
  started = value;
  if (value) restartFailed = FALSE;
}

NTSTATUS BufferedPipe::ExamineCompletionLocked(TransferBuffer* buffer) {
  NTSTATUS status = buffer->ComputeStatus();
  if (status == STATUS_DEVICE_NOT_CONNECTED) deviceGone = TRUE;
  if (NT_SUCCESS(status)) repairsWithoutSuccess = 0;
  return status;
}

VOID BufferedPipe::ScheduleRecovery() {
  CHECK_IRQL_DISPATCH();
  DRIVER_VERIFY(SpinLockHeld(clientLock));  // the caller holds it
  if (!started || recoveryPending || deviceGone) return;
  recoveryPending = TRUE;
  started = FALSE;  // no more reads submitted, no more write buffers handed out
  // Without a work item no repair will run: the pipe stays stopped with the recovery pending
  // until its owner, told as of a repair that could not restart it, stops it and starts it.
  if (!recoveryCall.Queue(ownerDevice, RecoveryWorker, this, nullptr, DelayedWorkQueue)) restartFailed = TRUE;
}

BOOLEAN BufferedPipe::DropRecovery() {
  CHECK_IRQL_PASSIVE();
  KeSetEvent(&repairWake, 0, FALSE);
  recoveryCall.CancelAndWaitForRunning();
  // Decided under clientLock, under which failures queue their recoveries: one that ran since
  // the stop may have enabled the pipe again, and a failure since then queued the next one.
  KSpinLockGuard guard(clientLock);
  recoveryCall.Cancel();
  recoveryPending = FALSE;  // so that the reopened pipe is repaired when it fails again
  BOOLEAN again = started || recoveryCall.Running();
  // The running repair has returned; the next one pauses again. One that began meanwhile
  // may skip its pause: the caller stops it once more.
  KeClearEvent(&repairWake);
  KSpinLockGuard pipeGuard(lock);
  return again || running;
}

VOID BufferedPipe::StopForGood() {
  CHECK_IRQL_PASSIVE();
  do {
    StopPipe();
  } while (DropRecovery());
  KSpinLockGuard guard(clientLock);
  restartFailed = FALSE;  // stopped as its owner asked: the owner's next start decides
}

VOID BufferedPipe::RecoveryWorker(PDEVICE_OBJECT, PVOID context, PVOID) {
  CHECK_IRQL_PASSIVE();
  auto* pipe = static_cast<BufferedPipe*>(context);
  if (pipe->deviceGone) return;  // nothing to repair; recoveryPending stays set
  pipe->StopPipe();
  pipe->PauseBeforeRepair();
  {
    KSpinLockGuard guard(pipe->clientLock);
    pipe->recoveryPending = FALSE;
  }
  // Reset-pipe-and-clear-stall, then a ReadPipe resubmits its free buffers and a WritePipe
  // announces itself to its client.
  if (NT_SUCCESS(pipe->StartPipe(TRUE))) return;
  KSpinLockGuard guard(pipe->clientLock);
  if (!pipe->deviceGone) pipe->restartFailed = TRUE;
}

VOID BufferedPipe::PauseBeforeRepair() {
  CHECK_IRQL_PASSIVE();
  ULONG failedRepairs;
  {
    KSpinLockGuard guard(clientLock);
    failedRepairs = repairsWithoutSuccess++;
  }
  if (failedRepairs == 0) return;  // the first repair after a success is made at once
  ULONG pauseMs = kFirstRepairPauseMs;
  for (ULONG i = 1; i < failedRepairs && pauseMs < kLongestRepairPauseMs; ++i) pauseMs *= 2;
  if (pauseMs > kLongestRepairPauseMs) pauseMs = kLongestRepairPauseMs;
  WaitMilliseconds(&repairWake, pauseMs, Executive, KernelMode, FALSE);
}
