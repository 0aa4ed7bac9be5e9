// A pipe's end: nothing of a pipe, its pool or its buffers goes while a transfer of the pipe
// can still complete, whether a drain gave up on it or a recovery put it out meanwhile.
#include "PipeTest.h"

using emu::usb::TransferResult;
using emu::usb::When;

namespace {

class PipeLifetimeTest : public PipeTest {
 protected:
  void Start(ReadPipe& pipe) {
    ASSERT_EQ(pipe.Configure(target(), selector(), kBulkIn, &fdo, &client, 4, kFrameBuffer), STATUS_SUCCESS);
    ASSERT_EQ(pipe.StartPipe(FALSE), STATUS_SUCCESS);
  }
  // The oldest waiting read is on the wire: no abort cancels it, and it ends after 'ms'.
  void OnTheWireFor(ULONG ms) {
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, 0), TransferResult::Data(Frame(8, 1)), When::Dpc, ms));
  }

  RecordingReadClient client;
};

TEST_F(PipeLifetimeTest, DestructionWaitsForATransferThatOutlastsEveryDrain) {
  {
    ReadPipe pipe;
    Start(pipe);
    OnTheWireFor(20000);
    EXPECT_EQ(pipe.StopPipe(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(kernel().NowMs(), 5000u);
    EXPECT_EQ(pipe.pool.freeCount, 3u) << "one buffer is still with the bus";
  }
  EXPECT_EQ(kernel().NowMs(), 20000u) << "the pipe went only once its last transfer came back";
  EXPECT_EQ(bus().PendingIrps(), 0u);
  EXPECT_TRUE(client.frames.empty());
  EXPECT_TRUE(client.errors.empty());
}

TEST_F(PipeLifetimeTest, DestructionWaitsForTheReadsOfARecoveryThatRestartsThePipeMeanwhile) {
  {
    ReadPipe pipe;
    Start(pipe);
    ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kBulkIn, 0), TransferResult::Stall(), When::Inline));
    ASSERT_TRUE(pipe.recoveryPending);
    // The recovery drains the pipe, then waits for the mutex inside StartPipe (the owner holds
    // it for a moment); it gets it only once the destruction has drained the pipe itself.
    KeWaitForSingleObject(&pipe.mutex, Executive, KernelMode, FALSE, nullptr);
    kernel().RunPending();
    EXPECT_FALSE(pipe.recoveryPending);
    EXPECT_EQ(Waiting(kBulkIn), 0u);
    KeReleaseMutex(&pipe.mutex, FALSE);
  }
  EXPECT_EQ(RequestsTo(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kBulkIn), 1u) << "the recovery did restart it";
  EXPECT_EQ(bus().PendingIrps(), 0u) << "and the reads it put out were drained before the buffers went";
  EXPECT_EQ(client.errors.size(), 1u);
}

}  // namespace
