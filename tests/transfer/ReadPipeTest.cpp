// The reader: configuration, every free buffer out as a read, reads handed over in order and
// resumed only when asked, one recovery after failures, and a gone device.
#include "PipeTest.h"
#include "PreemptOnce.h"

using emu::usb::ControlFault;
using emu::usb::TransferResult;

namespace {

class ReadPipeTest : public PipeTest {
 protected:
  void Configure(ReadPipe& pipe, ULONG count = 4) {
    ASSERT_EQ(pipe.Configure(target(), selector(), kBulkIn, &fdo, &client, count, kFrameBuffer), STATUS_SUCCESS);
  }
  size_t Resets() { return RequestsTo(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kBulkIn); }
  size_t Aborts() { return RequestsTo(URB_FUNCTION_ABORT_PIPE, kBulkIn); }
  void Fail(size_t position, const TransferResult& result) {
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, position), result));
  }

  RecordingReadClient client;
};

TEST_F(ReadPipeTest, ConfigureRefusesAnEndpointTheSelectionLacksAndFillsThePoolOtherwise) {
  ReadPipe pipe;
  EXPECT_EQ(pipe.Configure(target(), selector(), 0x83, &fdo, &client, 4, kFrameBuffer), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(pipe.target, nullptr);
  EXPECT_EQ(pipe.pool.createdCount, 0u);
  // The mutex was released: a second Configure gets it.
  Configure(pipe, 4);
  EXPECT_EQ(pipe.pool.createdCount, 4u);
  EXPECT_EQ(pipe.pool.bufferDataLength, kFrameBuffer);
  EXPECT_EQ(pipe.ownerDevice, &fdo);
  EXPECT_EQ(pipe.deliveryDevice, &fdo);
  Configure(pipe, 2);
  EXPECT_EQ(pipe.pool.createdCount, 2u) << "a new configuration starts from an empty pool";

  kernel().faults().FailNth(emu::FaultPoint::Pages, 2);
  EXPECT_EQ(pipe.Configure(target(), selector(), kBulkIn, &fdo, &client, 3, kFrameBuffer), STATUS_NO_MEMORY);
  EXPECT_EQ(pipe.target, &target()) << "bound all the same";
  EXPECT_EQ(pipe.pool.createdCount, 0u);
}

TEST_F(ReadPipeTest, EveryFreeBufferIsARead_AndAReadIsNotResubmittedUntilResumeReads) {
  ReadPipe pipe;
  Configure(pipe);
  ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  EXPECT_TRUE(pipe.started);
  ASSERT_EQ(Waiting(kBulkIn), 4u);
  emu::usb::QueuedTransfer read = bus().Transfers(kBulkIn)[0];
  EXPECT_EQ(read.length, kFrameBuffer);
  EXPECT_EQ(read.transferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK});
  EXPECT_EQ(Resets(), 0u);

  device().BulkIn().Queue(Frame(60, 1));
  device().BulkIn().Queue(Frame(1514, 2));
  kernel().RunPending();
  ASSERT_EQ(client.frames.size(), 2u);
  EXPECT_EQ(client.frames[0], Frame(60, 1));
  EXPECT_EQ(client.frames[1], Frame(1514, 2));
  EXPECT_EQ(client.held[0]->length, 60u);
  EXPECT_EQ(Waiting(kBulkIn), 2u) << "held buffers are not read into";
  pipe.ResumeReads();
  EXPECT_EQ(Waiting(kBulkIn), 2u) << "nothing free to resume with";
  client.ReturnAll();
  pipe.ResumeReads();
  EXPECT_EQ(Waiting(kBulkIn), 4u);

  EXPECT_EQ(pipe.StopPipe(), STATUS_SUCCESS);
  EXPECT_FALSE(pipe.started);
  EXPECT_EQ(Waiting(kBulkIn), 0u);
  EXPECT_EQ(pipe.pool.freeCount, 4u);
  pipe.ResumeReads();
  EXPECT_EQ(Waiting(kBulkIn), 0u) << "a stopped pipe reads nothing";
}

TEST_F(ReadPipeTest, ResetThatNeverAnswersFailsTheStartAfter500Ms) {
  ReadPipe pipe;
  Configure(pipe);
  bus().InjectFault(ControlFault::NeverAnswer(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).Times(1));
  EXPECT_EQ(pipe.StartPipe(TRUE), STATUS_IO_TIMEOUT);
  EXPECT_EQ(kernel().NowMs(), 500u);
  EXPECT_TRUE(pipe.running) << "enabled";
  EXPECT_FALSE(pipe.started) << "but not started";
  EXPECT_EQ(Waiting(kBulkIn), 0u);
  EXPECT_EQ(pipe.StartPipe(TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Resets(), 2u);
  EXPECT_EQ(Waiting(kBulkIn), 4u);
}

TEST_F(ReadPipeTest, TwoFailedReadsInARowRecoverOnceAndEveryFreeBufferIsReadAgain) {
  ReadPipe pipe;
  Configure(pipe);
  ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  Fail(0, TransferResult::Stall());
  Fail(0, TransferResult::Status(USBD_STATUS_DEV_NOT_RESPONDING));
  kernel().RunPending();
  ASSERT_EQ(client.errors.size(), 2u) << "the cancelled reads of the recovery are not reported";
  EXPECT_EQ(client.errors[0], std::make_pair(STATUS_UNSUCCESSFUL, BOOLEAN{FALSE}));
  EXPECT_EQ(client.errors[1], std::make_pair(STATUS_UNSUCCESSFUL, BOOLEAN{FALSE}));
  EXPECT_EQ(Aborts(), 1u) << "one drain";
  EXPECT_EQ(Resets(), 1u) << "one reset, which clears the stall";
  EXPECT_FALSE(bus().Halted(kBulkIn));
  EXPECT_TRUE(pipe.started);
  EXPECT_FALSE(pipe.recoveryPending);
  EXPECT_EQ(Waiting(kBulkIn), 4u);
  device().BulkIn().Queue(Frame(42, 3));
  kernel().RunPending();
  EXPECT_EQ(client.frames, std::vector<std::vector<UCHAR>>{Frame(42, 3)});
  client.ReturnAll();  // the client holds what it was given until it gives it back
}

// A device that fails every read (wedged firmware): each repair that fails again before a
// read succeeded waits twice as long as the one before, up to the longest pause; a read that
// succeeds makes the next repair immediate again.
TEST_F(ReadPipeTest, RepairsThatKeepFailingPauseLongerUntilAReadSucceeds) {
  ReadPipe pipe;
  Configure(pipe);
  ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  size_t resets = 0;
  for (ULONG pauseMs : {0, 10, 20, 40, 80, 100, 100}) {
    Fail(0, TransferResult::Stall());
    kernel().RunPending();
    if (pauseMs) {
      kernel().AdvanceTimeMs(pauseMs - 1);
      EXPECT_EQ(Resets(), resets) << "still pausing, " << pauseMs << " ms";
      kernel().AdvanceTimeMs(1);
      kernel().RunPending();
    }
    EXPECT_EQ(Resets(), ++resets) << "repaired after " << pauseMs << " ms";
    ASSERT_EQ(Waiting(kBulkIn), 4u) << "after " << pauseMs << " ms";
  }
  device().BulkIn().Queue(Frame(42, 3));
  kernel().RunPending();
  Fail(0, TransferResult::Stall());
  kernel().RunPending();
  EXPECT_EQ(Resets(), ++resets) << "the first repair after a good read is made at once";
  EXPECT_EQ(client.frames.size(), 1u);
  client.ReturnAll();
}

// A stop during a repair's pause does not wait it out.
TEST_F(ReadPipeTest, AStopEndsARepairsPause) {
  ReadPipe pipe;
  Configure(pipe);
  ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  for (int failure = 0; failure < 2; ++failure) {
    Fail(0, TransferResult::Stall());
    kernel().RunPending();
  }
  ASSERT_TRUE(pipe.recoveryPending) << "the second repair pauses";
  uint64_t before = kernel().NowMs();
  while (pipe.DropRecovery()) pipe.StopPipe();
  EXPECT_EQ(kernel().NowMs(), before);
}

TEST_F(ReadPipeTest, GoneDeviceStopsReadingForGood) {
  ReadPipe pipe;
  Configure(pipe);
  ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  Fail(0, TransferResult::IrpFailure(STATUS_NO_SUCH_DEVICE));
  kernel().RunPending();
  ASSERT_EQ(client.errors.size(), 1u);
  EXPECT_EQ(client.errors[0], std::make_pair(STATUS_DEVICE_NOT_CONNECTED, BOOLEAN{TRUE}));
  EXPECT_TRUE(pipe.deviceGone);
  EXPECT_FALSE(pipe.recoveryPending) << "nothing to repair";
  EXPECT_EQ(pipe.pool.freeCount, 1u) << "the buffer went home";
  pipe.ResumeReads();
  EXPECT_EQ(Waiting(kBulkIn), 3u) << "no new read";
  EXPECT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Waiting(kBulkIn), 3u);

  bus().Unplug();
  kernel().RunPending();
  EXPECT_EQ(client.errors.size(), 4u);
  EXPECT_EQ(client.errors.back(), std::make_pair(STATUS_DEVICE_NOT_CONNECTED, BOOLEAN{TRUE}));
  EXPECT_EQ(Resets(), 0u);
  EXPECT_EQ(pipe.pool.freeCount, 4u);
}

// A read fails and its repair is queued; then the owner stops the pipe. The stopping thread is
// preempted at each of its returns to PASSIVE_LEVEL from the pipe lock in turn while the repair
// runs there and restarts the pipe: whatever it finds afterwards, a buffer is in the pool or on
// the bus, never both.
TEST_F(ReadPipeTest, StopRacingTheRepairNeverPutsABufferOnTheBusBackInThePool) {
  int point = 1;
  for (;; ++point) {
    SCOPED_TRACE("preempted at return " + std::to_string(point));
    ReadPipe pipe;
    Configure(pipe, 1);
    ASSERT_EQ(pipe.StartPipe(TRUE), STATUS_SUCCESS);  // the last round may have left the endpoint halted
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, 0), TransferResult::Stall(), emu::usb::When::Inline));
    ASSERT_TRUE(pipe.recoveryPending);
    int returns = 0;
    PreemptOnce repairMeanwhile(
        kernel(), [&](PKSPIN_LOCK released) { return released == &pipe.lock && ++returns == point; },
        [] { LetOthersRunMs(1000); });
    pipe.StopPipe();
    kernel().RunPending();
    if (!repairMeanwhile.fired) break;  // past the stop's last return
    EXPECT_EQ(pipe.pool.freeCount + Waiting(kBulkIn), 1u);
  }
  EXPECT_GT(point, 3) << "the staging: the stop returns to PASSIVE_LEVEL at its disable, its count and its return";
}

}  // namespace
