#include "support/DeferredCall.h"

#include "support/KSpinLockGuard.h"
#include "support/Wait.h"

namespace {

constexpr ULONG kWaitSliceMs = 2000;

}  // namespace

DeferredCall::DeferredCall()
    : lock(0),
      workItem(nullptr),
      device(nullptr),
      callback(nullptr),
      context(nullptr),
      argument(nullptr),
      running(0) {
  InitializeSpinLock(&lock, "DeferredCall::lock");
  KeInitializeEvent(&doneEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&runsEndedEvent, NotificationEvent, TRUE);
}

DeferredCall::~DeferredCall() { CancelAndWait(); }

BOOLEAN DeferredCall::Queue(PDEVICE_OBJECT deviceObject, DeferredCallback newCallback, PVOID newContext,
                            PVOID newArgument, WORK_QUEUE_TYPE queueType) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  callback = newCallback;
  context = newContext;
  argument = newArgument;
  // A run that is queued and has not started will call what was just stored.
  if (workItem) return TRUE;
  workItem = IoAllocateWorkItem(deviceObject);
  if (!workItem) {
    callback = nullptr;
    context = nullptr;
    argument = nullptr;
    return FALSE;
  }
  KeClearEvent(&doneEvent);
  device = deviceObject;
  IoQueueWorkItem(workItem, Worker, queueType, this);
  return TRUE;
}

VOID DeferredCall::Cancel() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  callback = nullptr;
}

VOID DeferredCall::CancelAndWait() {
  CHECK_IRQL_PASSIVE();
  Cancel();
  Wait();
}

VOID DeferredCall::Wait() {
  CHECK_IRQL_PASSIVE();
  WaitForRuns(TRUE);
}

VOID DeferredCall::CancelAndWaitForRunning() {
  CHECK_IRQL_PASSIVE();
  Cancel();
  WaitForRuns(FALSE);
}

BOOLEAN DeferredCall::Running() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  return running != 0;
}

VOID DeferredCall::WaitForRuns(BOOLEAN queuedToo) {
  PKEVENT event = queuedToo ? &doneEvent : &runsEndedEvent;
  for (;;) {
    while (WaitMilliseconds(event, kWaitSliceMs, Executive, KernelMode, FALSE) != STATUS_SUCCESS) {
    }
    // A run queued or started after the event was set cleared it again; wait for that one too.
    // Taking the lock also waits for the worker that set the event to let go of it.
    KSpinLockGuard guard(lock);
    if (running == 0 && !(queuedToo && workItem)) return;
  }
}

VOID DeferredCall::Worker(PDEVICE_OBJECT deviceObject, PVOID deferredCall) {
  auto* self = static_cast<DeferredCall*>(deferredCall);
  DeferredCallback run;
  PVOID runContext;
  PVOID runArgument;
  {
    KSpinLockGuard guard(self->lock);
    run = self->callback;
    runContext = self->context;
    runArgument = self->argument;
    self->callback = nullptr;
    if (self->running++ == 0) KeClearEvent(&self->runsEndedEvent);
    // Freed before the callback runs, so the callback may queue this call again.
    if (self->workItem) {
      IoFreeWorkItem(self->workItem);
      self->workItem = nullptr;
      self->device = nullptr;
    }
  }
  if (run) run(deviceObject, runContext, runArgument);
  // A run queued meanwhile, by the callback or by anyone, keeps the event clear until it has
  // ended too, whichever of the two ends last. Releasing the lock is the last access to the
  // object.
  KSpinLockGuard guard(self->lock);
  if (--self->running != 0) return;
  KeSetEvent(&self->runsEndedEvent, 0, FALSE);
  if (!self->workItem) KeSetEvent(&self->doneEvent, 0, FALSE);
}
