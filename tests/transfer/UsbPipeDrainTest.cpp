// Draining a pipe: aborts only while something is in flight, bounded waits on the virtual
// clock, and a verdict taken from the counts under the pipe lock, never from the activity
// event alone (whose count and signal are set in two steps).
#include "PipeTest.h"

#include "TimedCall.h"

using emu::usb::ScriptedTransfer;
using emu::usb::TransferResult;
using emu::usb::When;

namespace {

class UsbPipeDrainTest : public PipeTest {
 protected:
  void Open(ProbePipe& pipe, UsbTarget& usbTarget) {
    ASSERT_EQ(pipe.Bind(usbTarget, selector(), kBulkIn), STATUS_SUCCESS);
    ASSERT_EQ(pipe.pool.Fill(4, 64, 1), STATUS_SUCCESS);
    ASSERT_EQ(pipe.Enable(), STATUS_SUCCESS);
  }
  size_t Aborts() { return RequestsTo(URB_FUNCTION_ABORT_PIPE, kBulkIn); }
  // Decides the oldest waiting read: it is on the wire and ends after 'ms' whatever aborts come.
  void FinishAfter(ULONG ms) {
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, 0), TransferResult::Data(Frame(8, 1)), When::Dpc, ms));
  }
};

TEST_F(UsbPipeDrainTest, NothingInFlightSendsNoAbortAndSucceedsAtOnce) {
  ProbePipe pipe;
  Open(pipe, target());
  EXPECT_EQ(pipe.AbortAndDrain(5000, 500), STATUS_SUCCESS);
  EXPECT_EQ(Aborts(), 0u);
  EXPECT_EQ(kernel().NowMs(), 0u);
  EXPECT_FALSE(pipe.running);
}

TEST_F(UsbPipeDrainTest, TransfersThatFinishAfterSomeAbortsAreWaitedForAndGoHomeUndelivered) {
  ProbePipe pipe;
  Open(pipe, target());
  pipe.SubmitRead();
  pipe.SubmitRead();
  FinishAfter(1200);  // the first; the second waits and is cancelled by the first abort
  EXPECT_EQ(pipe.AbortAndDrain(5000, 500), STATUS_SUCCESS);
  EXPECT_EQ(kernel().NowMs(), 1200u) << "the wait ends when the last transfer does";
  EXPECT_EQ(Aborts(), 3u) << "at 0, 500 and 1000 ms";
  EXPECT_TRUE(pipe.delivered.empty());
  EXPECT_EQ(pipe.pool.freeCount, 4u);
  EXPECT_TRUE(pipe.outstandingList.IsEmpty());
}

TEST_F(UsbPipeDrainTest, TransferThatOutlastsTheBudgetTimesTheDrainOutAndComesHomeLater) {
  ProbePipe pipe;
  Open(pipe, target());
  pipe.SubmitRead();
  pipe.SubmitRead();
  FinishAfter(8000);
  // The second completes while the first is in flight: it waits behind it for delivery.
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, 0), TransferResult::Data(Frame(8, 2)), When::Inline));
  EXPECT_EQ(pipe.pool.freeCount, 2u);
  EXPECT_EQ(pipe.AbortAndDrain(5000, 500), STATUS_IO_TIMEOUT);
  EXPECT_EQ(kernel().NowMs(), 5000u);
  EXPECT_EQ(Aborts(), 10u) << "ten aborts, each followed by a 500 ms wait, then the eleventh check gives up";
  EXPECT_EQ(pipe.pool.freeCount, 3u) << "the finished one goes home; the one in flight cannot yet";
  kernel().AdvanceTimeMs(3000);
  EXPECT_EQ(pipe.pool.freeCount, 4u) << "its completion routine brings it home";
  EXPECT_TRUE(pipe.delivered.empty());
  EXPECT_EQ(pipe.activity.count, 0);
}

TEST_F(UsbPipeDrainTest, EventLeftSignalledWhileADeliveryDpcIsQueuedDoesNotEndTheDrain) {
  ProbePipe pipe;
  Open(pipe, target());
  bus().ScriptTransfers(kBulkIn, {ScriptedTransfer{TransferResult::Data(Frame(8, 1)), When::Inline}});
  pipe.SubmitRead();
  ASSERT_EQ(pipe.activity.count, 1) << "a delivery DPC is queued";
  // What a Decrement on another processor leaves when its KeSetEvent lands after an Increment
  // that came between its count update and its signal.
  KeSetEvent(&pipe.activity.event, 0, FALSE);
  EXPECT_EQ(pipe.AbortAndDrain(5000, 500), STATUS_SUCCESS);
  EXPECT_TRUE(kernel().scheduler().QueuedObjectsIn(&pipe, sizeof pipe).empty()) << "the DPC ran first";
  EXPECT_EQ(pipe.activity.count, 0);
  EXPECT_EQ(pipe.pool.freeCount, 4u);
  EXPECT_TRUE(pipe.delivered.empty()) << "the pipe was disabled before the DPC ran";
}

TEST_F(UsbPipeDrainTest, EventLeftClearWhileIdleDoesNotTimeTheDrainOut) {
  ProbePipe pipe;
  Open(pipe, target());
  // What an Increment leaves when its KeClearEvent lands after the Decrement that brought the
  // count back to 0 and signalled.
  KeClearEvent(&pipe.activity.event);
  EXPECT_EQ(pipe.AbortAndDrain(5000, 500), STATUS_SUCCESS);
  EXPECT_EQ(kernel().NowMs(), 0u);
}

struct DrainOnWorker {
  ProbePipe* pipe;
  PIO_WORKITEM item;
  NTSTATUS result = STATUS_PENDING;
  uint64_t endedAtMs = 0;
  ULONG racedToDpcAtEnd = 0;
  ULONG freeAtEnd = 0;

  static VOID NTAPI Run(PDEVICE_OBJECT, PVOID context) {
    auto* self = static_cast<DrainOnWorker*>(context);
    self->result = self->pipe->AbortAndDrain(5000, 500);
    self->endedAtMs = emu::Kernel::Current().NowMs();
    self->racedToDpcAtEnd = self->pipe->racedToDpc;
    self->freeAtEnd = self->pipe->pool.freeCount;
    IoFreeWorkItem(self->item);
  }
};

VOID NTAPI SetEventRoutine(PKDPC, PVOID event, PVOID, PVOID) { KeSetEvent(static_cast<PRKEVENT>(event), 0, FALSE); }

TEST_F(UsbPipeDrainTest, DrainWaitsForASubmitterStillInsideTheLowerDriverCall) {
  ProbePipe pipe;
  InlineLowerDevice lower;
  UsbTarget inlineTarget;
  inlineTarget.LowerDevice = lower.device();
  Open(pipe, inlineTarget);
  // The transfer completes inside the call; the submitter then stays in the lower driver for
  // 100 ms, and a worker drains the pipe meanwhile. Its completion routine is done, nothing
  // is in flight, yet the submitter will still touch the buffer and the pipe.
  KEVENT resume;
  KeInitializeEvent(&resume, NotificationEvent, FALSE);
  TimedCall release(SetEventRoutine, &resume);
  DrainOnWorker drain{&pipe, IoAllocateWorkItem(&fdo)};
  IoQueueWorkItem(drain.item, DrainOnWorker::Run, DelayedWorkQueue, &drain);
  lower.afterCompletion = [&] {
    release.ArmMs(100);
    KeWaitForSingleObject(&resume, Executive, KernelMode, FALSE, nullptr);
  };
  pipe.SubmitRead();
  kernel().RunPending();
  EXPECT_EQ(drain.result, STATUS_SUCCESS);
  EXPECT_EQ(drain.endedAtMs, 100u) << "not before the submitter let go";
  EXPECT_EQ(drain.racedToDpcAtEnd, 0u) << "no delivery DPC queued on a drained pipe";
  EXPECT_EQ(drain.freeAtEnd, 4u);
  EXPECT_TRUE(kernel().scheduler().QueuedObjectsIn(&pipe, sizeof pipe).empty());
  EXPECT_TRUE(pipe.delivered.empty());
}

// Deferred mode: the delivery runs on a work item and stays in the client for 100 ms, during
// which a worker drains the pipe. The drain must not end while the client still has the buffer.
TEST_F(UsbPipeDrainTest, DrainWaitsForADeferredDeliveryStillInTheClient) {
  ProbePipe pipe;
  ASSERT_EQ(pipe.SetDeliveryMode(TRUE, &fdo), STATUS_SUCCESS);
  Open(pipe, target());
  KEVENT resume;
  KeInitializeEvent(&resume, NotificationEvent, FALSE);
  TimedCall release(SetEventRoutine, &resume);
  DrainOnWorker drain{&pipe, IoAllocateWorkItem(&fdo)};
  pipe.duringDelivery = [&](TransferBuffer*) {
    IoQueueWorkItem(drain.item, DrainOnWorker::Run, DelayedWorkQueue, &drain);
    release.ArmMs(100);
    KeWaitForSingleObject(&resume, Executive, KernelMode, FALSE, nullptr);
  };
  pipe.SubmitRead();
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, 0), TransferResult::Data(Frame(8, 1)), When::Dpc));
  kernel().AdvanceTimeMs(1000);
  EXPECT_EQ(pipe.delivered, std::vector<ULONG>{0});
  EXPECT_EQ(drain.result, STATUS_SUCCESS);
  EXPECT_EQ(drain.endedAtMs, 100u) << "not before the client let go";
  EXPECT_EQ(drain.freeAtEnd, 4u);
}

}  // namespace
