// DeferredCall: folding of queued runs, cancellation, waiting, and re-queueing from the
// callback (the waiter must not return while a run it could see is still queued).
#include "EmuTest.h"
#include "TimedCall.h"

#include "support/DeferredCall.h"

namespace {

struct Calls {
  int first = 0;
  int second = 0;
  PVOID lastContext = nullptr;
  PVOID lastArgument = nullptr;
  KIRQL irql = 0xFF;
};

VOID First(PDEVICE_OBJECT, PVOID context, PVOID argument) {
  auto* c = static_cast<Calls*>(context);
  c->first++;
  c->irql = KeGetCurrentIrql();
}

VOID Second(PDEVICE_OBJECT, PVOID context, PVOID argument) {
  auto* c = static_cast<Calls*>(context);
  c->second++;
  c->lastArgument = argument;
}

class DeferredCallTest : public EmuTest {
 protected:
  DEVICE_OBJECT device{};
  Calls calls;
};

TEST_F(DeferredCallTest, RunsTheCallbackAtPassiveLevel) {
  DeferredCall call;
  EXPECT_TRUE(call.Queue(&device, First, &calls, nullptr, DelayedWorkQueue));
  EXPECT_EQ(KeReadStateEvent(&call.doneEvent), 0);
  kernel().RunPending();
  EXPECT_EQ(calls.first, 1);
  EXPECT_EQ(calls.irql, PASSIVE_LEVEL);
  EXPECT_EQ(KeReadStateEvent(&call.doneEvent), 1);
  EXPECT_EQ(call.workItem, nullptr);
}

TEST_F(DeferredCallTest, QueuesBeforeTheWorkerStartsFoldIntoOneRunWithTheLastValues) {
  DeferredCall call;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_TRUE(call.Queue(&device, First, &calls, nullptr, DelayedWorkQueue));
  EXPECT_TRUE(call.Queue(&device, Second, &calls, reinterpret_cast<PVOID>(7), DelayedWorkQueue));
  KfLowerIrql(old);
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 1) << "one work item for both";
  kernel().RunPending();
  EXPECT_EQ(calls.first, 0);
  EXPECT_EQ(calls.second, 1);
  EXPECT_EQ(calls.lastArgument, reinterpret_cast<PVOID>(7));
}

TEST_F(DeferredCallTest, CancelBeforeTheWorkerStartsRunsNothingButEndsTheRun) {
  DeferredCall call;
  call.Queue(&device, First, &calls, nullptr, DelayedWorkQueue);
  call.Cancel();
  kernel().RunPending();
  EXPECT_EQ(calls.first, 0);
  EXPECT_EQ(call.workItem, nullptr) << "the work item is freed all the same";
  EXPECT_EQ(KeReadStateEvent(&call.doneEvent), 1);
}

TEST_F(DeferredCallTest, CancelAndWaitOnAnIdleCallReturnsAtOnce) {
  DeferredCall call;
  call.CancelAndWait();
  EXPECT_EQ(kernel().NowMs(), 0u);
}

// A run is in its callback, released 3000 ms later. A run queued meanwhile starts on a second
// worker and may end first; neither way of waiting may return before both have left their
// callbacks.
TEST_F(DeferredCallTest, WaitersWaitForARunInProgressEvenWhenAnotherWasQueuedMeanwhile) {
  static KEVENT release;
  static int finished;
  for (bool queueAnother : {false, true}) {
    for (bool cancel : {false, true}) {
      SCOPED_TRACE(std::string(cancel ? "CancelAndWait" : "Wait") + (queueAnother ? ", another run queued" : ""));
      finished = 0;
      calls.second = 0;
      KeInitializeEvent(&release, NotificationEvent, FALSE);
      DeferredCall call;
      call.Queue(&device, [](PDEVICE_OBJECT, PVOID, PVOID) {
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        finished++;
      }, nullptr, nullptr, DelayedWorkQueue);
      kernel().RunPending();  // the first run now blocks in its callback
      if (queueAnother) ASSERT_TRUE(call.Queue(&device, Second, &calls, nullptr, DelayedWorkQueue));
      TimedCall releaseLater([](PKDPC, PVOID, PVOID, PVOID) { KeSetEvent(&release, 0, FALSE); }, nullptr);
      uint64_t start = kernel().NowMs();
      releaseLater.ArmMs(3000);
      cancel ? call.CancelAndWait() : call.Wait();
      EXPECT_EQ(finished, 1) << "returned while the first run was still in its callback";
      EXPECT_EQ(kernel().NowMs() - start, 3000u) << "waited through more than one 2000 ms slice";
      EXPECT_EQ(calls.second, queueAnother && !cancel ? 1 : 0) << "only Wait lets the second run call";
      kernel().AdvanceTimeMs(3000);  // lets a run left behind end before the call goes
    }
  }
}

// Wait is CancelAndWait without the cancel: a queued run still calls its callback.
TEST_F(DeferredCallTest, WaitLetsAQueuedRunCallItsCallback) {
  DeferredCall call;
  call.Queue(&device, First, &calls, nullptr, DelayedWorkQueue);
  call.Wait();
  EXPECT_EQ(calls.first, 1);
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 0);
  EXPECT_EQ(KeReadStateEvent(&call.doneEvent), 1);
}

TEST_F(DeferredCallTest, FailedWorkItemAllocationRecordsNothing) {
  DeferredCall call;
  kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
  EXPECT_FALSE(call.Queue(&device, First, &calls, &calls, DelayedWorkQueue));
  EXPECT_EQ(call.callback, nullptr);
  EXPECT_EQ(call.context, nullptr);
  EXPECT_EQ(KeReadStateEvent(&call.doneEvent), 1) << "an idle call stays signalled";
  kernel().RunPending();
  EXPECT_EQ(calls.first, 0);
}

struct Requeue {
  DeferredCall* call;
  PDEVICE_OBJECT device;
  KEVENT release;
  int runs = 0;
};

// The first run waits to be released, then queues the call again.
VOID RunTwice(PDEVICE_OBJECT, PVOID context, PVOID) {
  auto* r = static_cast<Requeue*>(context);
  if (r->runs == 0) KeWaitForSingleObject(&r->release, Executive, KernelMode, FALSE, nullptr);
  if (++r->runs == 1) r->call->Queue(r->device, RunTwice, r, nullptr, DelayedWorkQueue);
}

TEST_F(DeferredCallTest, WaiterWaitsForARunTheCallbackQueuedAgain) {
  auto* call = new DeferredCall;
  static Requeue r;
  r.call = call;
  r.device = &device;
  r.runs = 0;
  KeInitializeEvent(&r.release, NotificationEvent, FALSE);
  call->Queue(&device, RunTwice, &r, nullptr, DelayedWorkQueue);
  kernel().RunPending();  // the first run now waits inside its callback
  TimedCall releaseLater([](PKDPC, PVOID, PVOID, PVOID) { KeSetEvent(&r.release, 0, FALSE); }, nullptr);
  releaseLater.ArmMs(10);
  call->CancelAndWait();
  // Returning while the second run is queued would let that run find its DeferredCall freed.
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 0);
  EXPECT_EQ(r.runs, 2);
  delete call;
}

}  // namespace
