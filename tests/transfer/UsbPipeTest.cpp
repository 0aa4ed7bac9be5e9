// The pipe core: binding, and delivery in submission order whatever order and context the
// transfers complete in, including a completion that beats its submitter.
#include "PipeTest.h"

using emu::usb::ScriptedTransfer;
using emu::usb::TransferResult;
using emu::usb::When;

namespace {

class UsbPipeTest : public PipeTest {
 protected:
  // Binds, fills four small buffers and enables.
  void Open(ProbePipe& pipe) {
    ASSERT_EQ(pipe.Bind(target(), selector(), kBulkIn), STATUS_SUCCESS);
    ASSERT_EQ(pipe.pool.Fill(4, 64, target().LowerDevice->StackSize), STATUS_SUCCESS);
    ASSERT_EQ(pipe.Enable(), STATUS_SUCCESS);
  }
  void CompleteNow(size_t position, UCHAR seed) {
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, position), TransferResult::Data(Frame(8, seed)),
                                       When::Inline));
  }
};

TEST_F(UsbPipeTest, BindCopiesThePipeInformationOfTheEndpointAndNothingWorksUnbound) {
  UsbPipe in(TRUE);
  UsbPipe out(FALSE);
  EXPECT_STREQ(in.label, "in ");
  EXPECT_STREQ(out.label, "out");
  size_t sent = bus().Requests().size();
  EXPECT_EQ(in.ResetPipe(500, nullptr), STATUS_INTERNAL_ERROR);
  EXPECT_EQ(in.AbortPipe(500, nullptr), STATUS_INTERNAL_ERROR);
  EXPECT_EQ(in.Enable(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(in.AbortAndDrain(5000, 500), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bus().Requests().size(), sent) << "nothing reaches the bus from an unbound pipe";

  EXPECT_EQ(in.Bind(target(), selector(), 0x83), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(in.target, nullptr);
  ASSERT_EQ(in.Bind(target(), selector(), kBulkIn), STATUS_SUCCESS);
  EXPECT_EQ(in.target, &target());
  EXPECT_EQ(in.pipeInfo.EndpointAddress, kBulkIn);
  EXPECT_EQ(in.pipeInfo.MaximumPacketSize, 512);
  EXPECT_EQ(in.pipeInfo.PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(in.pipeInfo.PipeHandle, selector().FindPipeByAddress(kBulkIn)->PipeHandle);
  EXPECT_EQ(in.Enable(), STATUS_SUCCESS);
  EXPECT_EQ(in.AbortAndDrain(5000, 500), STATUS_SUCCESS);
  EXPECT_FALSE(in.running);
  in.Unbind();
  EXPECT_EQ(in.target, nullptr);
  EXPECT_EQ(in.pipeInfo.PipeHandle, nullptr);
}

TEST_F(UsbPipeTest, CompletionInsideTheLowerDriverCallIsDeliveredByTheDpc) {
  ProbePipe pipe;
  Open(pipe);
  bus().ScriptTransfers(kBulkIn, {ScriptedTransfer{TransferResult::Data(Frame(8, 1)), When::Inline}});
  ASSERT_NE(pipe.SubmitRead(), nullptr);
  EXPECT_TRUE(pipe.delivered.empty()) << "never delivered inside Submit's own call chain";
  EXPECT_EQ(pipe.racedToDpc, 1u);
  EXPECT_EQ(pipe.activity.count, 1) << "the queued DPC holds the pipe";
  kernel().RunPending();
  EXPECT_EQ(pipe.delivered, std::vector<ULONG>{0});
  EXPECT_EQ(pipe.deliveryIrql, DISPATCH_LEVEL);
  EXPECT_EQ(pipe.activity.count, 0);
  EXPECT_EQ(KeReadStateEvent(&pipe.activity.event), 1);
}

TEST_F(UsbPipeTest, TwoCompletionsThatBeatTheirSubmittersShareOneDpc) {
  ProbePipe pipe;
  Open(pipe);
  bus().ScriptTransfers(kBulkIn, {ScriptedTransfer{TransferResult::Data(Frame(8, 1)), When::Inline},
                                  ScriptedTransfer{TransferResult::Data(Frame(8, 2)), When::Inline}});
  pipe.SubmitRead();
  pipe.SubmitRead();
  EXPECT_EQ(pipe.racedToDpc, 2u);
  EXPECT_EQ(pipe.activity.count, 1) << "a DPC already queued is not counted again";
  kernel().RunPending();
  EXPECT_EQ(pipe.delivered, (std::vector<ULONG>{0, 1}));
  EXPECT_EQ(pipe.multiPasses, 1u);
}

TEST_F(UsbPipeTest, ReverseCompletionIsDeliveredInSubmissionOrderInOnePass) {
  ProbePipe pipe;
  Open(pipe);
  pipe.SubmitRead();
  pipe.SubmitRead();
  CompleteNow(1, 2);  // the second first: it waits behind the first
  EXPECT_TRUE(pipe.delivered.empty());
  EXPECT_EQ(pipe.emptyPasses, 1u);
  CompleteNow(0, 1);
  EXPECT_EQ(pipe.delivered, (std::vector<ULONG>{0, 1})) << "delivered inside the first one's completion";
  EXPECT_EQ(pipe.multiPasses, 1u);
  EXPECT_EQ(pipe.racedToDpc, 0u);
  EXPECT_EQ(pipe.activity.count, 0);
}

TEST_F(UsbPipeTest, CompletionAfterDisableReturnsTheBufferWithoutDelivery) {
  ProbePipe pipe;
  Open(pipe);
  pipe.SubmitRead();
  pipe.Disable();
  CompleteNow(0, 1);
  EXPECT_TRUE(pipe.delivered.empty());
  EXPECT_EQ(pipe.pool.freeCount, 4u);
  EXPECT_TRUE(pipe.outstandingList.IsEmpty());
  TransferBuffer* refused = pipe.pool.Take();
  pipe.PrepareRead(refused);
  EXPECT_FALSE(pipe.Submit(refused)) << "a disabled pipe sends nothing";
  EXPECT_EQ(pipe.pool.freeCount, 4u) << "and the buffer is home already";
  EXPECT_EQ(Waiting(kBulkIn), 0u);
}

TEST_F(UsbPipeTest, TransferThatCompletesDisabledBeforeItsSubmitterReturnsIsReturnedBySubmit) {
  ProbePipe pipe;
  InlineLowerDevice lower;
  UsbTarget inlineTarget;
  inlineTarget.LowerDevice = lower.device();
  ASSERT_EQ(pipe.Bind(inlineTarget, selector(), kBulkIn), STATUS_SUCCESS);
  ASSERT_EQ(pipe.pool.Fill(4, 64, 1), STATUS_SUCCESS);
  ASSERT_EQ(pipe.Enable(), STATUS_SUCCESS);
  // The pipe is disabled, and the transfer completes, while its submitter is still inside the
  // lower driver call: the buffer must not go home while the submitter can still touch it.
  ULONG freeAfterCompletion = 0;
  lower.beforeCompletion = [&pipe] { pipe.Disable(); };
  lower.afterCompletion = [&] { freeAfterCompletion = pipe.pool.freeCount; };
  EXPECT_NE(pipe.SubmitRead(), nullptr);
  EXPECT_EQ(freeAfterCompletion, 3u) << "still the submitter's";
  EXPECT_EQ(pipe.pool.freeCount, 4u) << "home once Submit is done with it";
  EXPECT_EQ(pipe.racedToDpc, 0u) << "no delivery for a disabled pipe";
  EXPECT_EQ(pipe.activity.count, 0);
  EXPECT_TRUE(kernel().scheduler().QueuedObjectsIn(&pipe, sizeof pipe).empty());
  EXPECT_TRUE(pipe.delivered.empty());
}

TEST_F(UsbPipeTest, DeliveryAskedForDuringAPassIsLeftToThatPassAndStaysInOrder) {
  ProbePipe pipe;
  Open(pipe);
  pipe.SubmitRead();
  pipe.SubmitRead();
  pipe.SubmitRead();
  // While the first is being delivered (pipe lock dropped), the other two complete.
  pipe.duringDelivery = [this](TransferBuffer* buffer) {
    if (buffer->index != 0) return;
    CompleteNow(0, 2);
    CompleteNow(0, 3);
  };
  CompleteNow(0, 1);
  EXPECT_EQ(pipe.delivered, (std::vector<ULONG>{0, 1, 2}));
  EXPECT_EQ(pipe.reentries, 2u);
  EXPECT_EQ(pipe.multiPasses, 1u);
  EXPECT_EQ(pipe.activity.count, 0);
}

TEST_F(UsbPipeTest, DeferredDeliveryRunsOnAWorkItemAtPassiveLevel) {
  ProbePipe pipe;
  EXPECT_EQ(pipe.SetDeliveryMode(TRUE, nullptr), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(pipe.SetDeliveryMode(TRUE, &fdo), STATUS_SUCCESS);
  Open(pipe);
  EXPECT_EQ(pipe.SetDeliveryMode(FALSE, &fdo), STATUS_UNSUCCESSFUL) << "not while running";
  bus().ScriptTransfers(kBulkIn, {ScriptedTransfer{TransferResult::Data(Frame(8, 1)), When::Inline}});
  pipe.SubmitRead();
  pipe.SubmitRead();
  EXPECT_EQ(pipe.racedToWorkItem, 1u);
  CompleteNow(0, 2);
  EXPECT_TRUE(pipe.delivered.empty()) << "not in the completion routine either";
  kernel().RunPending();
  EXPECT_EQ(pipe.delivered, (std::vector<ULONG>{0, 1}));
  EXPECT_EQ(pipe.deliveryIrql, PASSIVE_LEVEL);
}

// Without a work item the delivery cannot wait for the next completion, which may never come
// (a read pipe whose buffers all wait for delivery submits nothing): the DPC delivers instead.
TEST_F(UsbPipeTest, DeferredDeliveryWithoutAWorkItemFallsBackToTheDpc) {
  ProbePipe pipe;
  ASSERT_EQ(pipe.SetDeliveryMode(TRUE, &fdo), STATUS_SUCCESS);
  Open(pipe);
  pipe.SubmitRead();
  kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
  CompleteNow(0, 1);
  kernel().RunPending();
  EXPECT_EQ(pipe.delivered, std::vector<ULONG>{0});
  EXPECT_EQ(pipe.deliveryIrql, DISPATCH_LEVEL);
  EXPECT_EQ(pipe.activity.count, 0);
}

}  // namespace
