// A pipe that owns its TransferBuffers and knows its client: it is configured, started and
// stopped by its owner, and repairs itself after a failed transfer by stopping, resetting and
// restarting on a work item. ReadPipe and WritePipe decide what a transfer means.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "support/DeferredCall.h"
#include "support/UnlockedRead.h"
#include "transfer/TransferBufferPool.h"
#include "transfer/UsbPipe.h"

constexpr ULONG kDrainTotalMs = 5000;
constexpr ULONG kDrainStepMs = 500;
// A repair that fails again before a transfer succeeded is tried once more after a pause that
// doubles each time, from the first to the longest.
constexpr ULONG kFirstRepairPauseMs = 10;
constexpr ULONG kLongestRepairPauseMs = 100;

class BufferedPipe : public UsbPipe {
 public:
  explicit BufferedPipe(BOOLEAN input);
  void Destroy(ULONG flags) override;
  // Starts the pipe, after a pipe reset when resetFirst; the base does nothing.
  IRQL_PASSIVE virtual NTSTATUS StartPipe(BOOLEAN resetFirst);
  // StopForRelease, then the buffers go.
  ~BufferedPipe();

  // Clears 'started', then disables and drains (5000 ms, 500 ms steps).
  IRQL_PASSIVE NTSTATUS StopPipe();
  // One recovery at a time, only for a started pipe whose device is present. clientLock held.
  IRQL_DISPATCH VOID ScheduleRecovery();
  // For a stop: drops a recovery not yet started and waits for one already running. TRUE when
  // the pipe was started or enabled again meanwhile, or a recovery has just begun: it must be
  // stopped once more. Never waits for a queued work item, so a work item may call it.
  IRQL_PASSIVE BOOLEAN DropRecovery();
  // Stops the pipe so that nothing starts it again: a repair queued before the stop is
  // dropped, one already running waited for and the pipe stopped once more. Never waits for a
  // queued work item, so a work item may call it.
  IRQL_PASSIVE VOID StopForGood();

  // The three flags are single bytes, written under clientLock, and read without a lock by
  // AcquireBuffer, CanSend, StartPipe and the recovery.
  UnlockedRead<BOOLEAN> started;     // started, and neither stopped nor handed to recovery
  UnlockedRead<BOOLEAN> deviceGone;  // a transfer ended with STATUS_DEVICE_NOT_CONNECTED; final
  KMUTEX mutex;                 // serialises Configure and StartPipe; outermost, PASSIVE_LEVEL
  // clientLock: held while a completion is examined, while URBs are filled and submitted, and
  // around OnReadError. After the owner's locks and mutex, before the UsbPipe's lock.
  KSPIN_LOCK clientLock;
  PDEVICE_OBJECT ownerDevice;   // recovery work items are allocated on it
  DeferredCall recoveryCall;
  UnlockedRead<BOOLEAN> recoveryPending;
  // A repair could not start the pipe again, or could not be queued, and neither a start nor
  // the owner's stop came since: nothing will start it but its owner. Under clientLock; read
  // by the owner's checks.
  UnlockedRead<BOOLEAN> restartFailed;
  // Repairs since a transfer last succeeded: under clientLock, and read by the one recovery.
  ULONG repairsWithoutSuccess;
  KEVENT repairWake;            // set by a stop, to end a repair's pause early
  TransferBufferPool pool;
  PVOID client;                 // ReadPipeClient or WritePipeClient, as the subclass says

 protected:
  // Binds to the endpoint and fills the pool afresh; the pipe stays bound when the fill fails.
  IRQL_PASSIVE NTSTATUS Configure(UsbTarget& usbTarget, ConfigurationSelector& selector, UCHAR endpointAddress,
                                  PDEVICE_OBJECT deviceObject, PVOID pipeClient, ULONG count, ULONG size);
  // Stops the pipe and waits until no recovery runs and nothing of the pipe is in flight.
  // Every subclass calls it first thing in its destructor: a recovery still running calls
  // StartPipe, which must find the whole object.
  IRQL_PASSIVE VOID StopForRelease();
  // The first steps of every StartPipe (mutex held): enable, then the pipe reset when asked.
  IRQL_PASSIVE NTSTATUS EnableAndReset(BOOLEAN resetFirst);
  IRQL_AT_MOST_DISPATCH VOID SetStarted(BOOLEAN value);
  // The transfer's final status; a gone device is noted for good. clientLock held.
  IRQL_DISPATCH NTSTATUS ExamineCompletionLocked(TransferBuffer* buffer);

 private:
  static VOID RecoveryWorker(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  // A device whose endpoint fails every transfer (wedged firmware) would otherwise be reset
  // and fail again as fast as the bus goes, for as long as it is plugged in.
  IRQL_PASSIVE VOID PauseBeforeRepair();
};
