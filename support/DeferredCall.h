// One callback run at PASSIVE_LEVEL on a system work item, which can be cancelled and waited
// for. Queue calls made before the worker starts fold into one run with the last values.
#pragma once

#include <platform.h>

#include "support/Annotations.h"

typedef VOID (*DeferredCallback)(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);

class DeferredCall {
 public:
  DeferredCall();
  ~DeferredCall();  // CancelAndWait
  DeferredCall(const DeferredCall&) = delete;
  DeferredCall& operator=(const DeferredCall&) = delete;

  // FALSE when no work item could be allocated; then nothing is recorded.
  IRQL_AT_MOST_DISPATCH BOOLEAN Queue(PDEVICE_OBJECT deviceObject, DeferredCallback callback,
                                      PVOID context, PVOID argument, WORK_QUEUE_TYPE queueType);
  // A queued run still happens but calls nothing.
  IRQL_AT_MOST_DISPATCH VOID Cancel();
  // Cancel, then wait until no run is queued or running.
  IRQL_PASSIVE VOID CancelAndWait();
  // Waits until no run is queued or running, letting a queued run call its callback.
  IRQL_PASSIVE VOID Wait();
  // Cancel, then wait until no run is in its callback. A queued run is not waited for: it calls
  // nothing, and waiting for it from a work item could wait for a worker that never comes.
  IRQL_PASSIVE VOID CancelAndWaitForRunning();
  // TRUE while a run is in its callback.
  IRQL_AT_MOST_DISPATCH BOOLEAN Running();

  KSPIN_LOCK lock;         // guards the fields below but the events; taken after any owner's lock
  PIO_WORKITEM workItem;   // the queued work item, null when none is queued
  PDEVICE_OBJECT device;   // the device the queued work item was allocated on
  DeferredCallback callback;
  PVOID context;
  PVOID argument;
  // Runs that have taken their values and not yet left their callback. A run queued while one
  // is running starts on another worker, so two may overlap and either may end first.
  ULONG running;
  KEVENT doneEvent;        // notification event, signalled while no run is queued or running
  KEVENT runsEndedEvent;   // notification event, signalled while no run is running

 private:
  // Waits until no run is running and, when queuedToo, none is queued.
  IRQL_PASSIVE VOID WaitForRuns(BOOLEAN queuedToo);
  static VOID NTAPI Worker(PDEVICE_OBJECT deviceObject, PVOID deferredCall);
};
