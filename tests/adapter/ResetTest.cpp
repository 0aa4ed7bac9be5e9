// Reset: the send queue is flushed at once, the pipes are closed and reopened at PASSIVE_LEVEL
// on a work item, and the reset completes from there exactly once.
#include "StartedAdapterTest.h"
#include "driver/MiniportHandlers.h"

namespace {

class ResetTest : public StartedAdapterTest {
 protected:
  BOOLEAN addressingReset = TRUE;
};

TEST_F(ResetTest, PendsFlushesAtOnceAndCompletesFromTheWorkItem) {
  QueuePackets(3);
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  EXPECT_FALSE(addressingReset);
  EXPECT_EQ(miniport.sendCompletions().size(), 3u) << "queued packets complete before the reset returns";
  EXPECT_TRUE(device->calls.empty()) << "nothing waits at DISPATCH_LEVEL";
  EXPECT_TRUE(miniport.resetCompletions().empty());
  kernel().RunPending();
  EXPECT_EQ(device->calls, (Calls{"ClosePipes", "OpenPipes"}));
  auto completions = miniport.resetCompletions();
  ASSERT_EQ(completions.size(), 1u);
  EXPECT_EQ(completions[0].status, NDIS_STATUS_SUCCESS);
  EXPECT_FALSE(completions[0].addressingReset);
  // The adapter's state is the reset's business no more than its flags are.
  EXPECT_TRUE(adapter->SendEnabled);
  EXPECT_EQ(adapter->HardwareStatus, NdisHardwareStatusReady);
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING) << "a second reset works alike";
  kernel().RunPending();
  EXPECT_EQ(miniport.resetCompletions().size(), 2u);
  miniport.Halt();
}

TEST_F(ResetTest, AFailedReopenStillCompletesTheReset) {
  device->openStatus = STATUS_DEVICE_NOT_CONNECTED;
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  kernel().RunPending();
  ASSERT_EQ(miniport.resetCompletions().size(), 1u);
  EXPECT_EQ(miniport.resetCompletions()[0].status, NDIS_STATUS_SUCCESS);
  miniport.Halt();
}

TEST_F(ResetTest, WithoutAWorkItemTheResetFailsAtOnceAndNeverCompletesLater) {
  QueuePackets(2);
  kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_HARD_ERRORS);
  EXPECT_EQ(miniport.sendCompletions().size(), 2u);
  kernel().RunPending();
  EXPECT_TRUE(miniport.resetCompletions().empty());
  EXPECT_TRUE(device->calls.empty());
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING) << "no reset is left pending";
  kernel().RunPending();
  EXPECT_EQ(miniport.resetCompletions().size(), 1u);
  miniport.Halt();
}

// NDIS never resets twice at once; should it, the pending reset covers both.
TEST_F(ResetTest, AResetWhileOneIsPendingIsRefusedAndOnlyOneCompletes) {
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(MiniportReset(&addressingReset, adapter), NDIS_STATUS_RESET_IN_PROGRESS);
  KfLowerIrql(irql);
  kernel().RunPending();
  EXPECT_EQ(miniport.resetCompletions().size(), 1u);
  EXPECT_EQ(device->calls, (Calls{"ClosePipes", "OpenPipes"}));
  miniport.Halt();
}

TEST_F(ResetTest, SurpriseRemovalBeforeTheWorkRunsLeavesThePipesClosed) {
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  kernel().RunPending();
  EXPECT_EQ(device->calls, (Calls{"ClosePipes", "Stop"})) << "no reopen after the stop";
  EXPECT_EQ(miniport.resetCompletions().size(), 1u);
  miniport.Halt();
}

TEST_F(ResetTest, HaltWaitsForAQueuedResetToComplete) {
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  miniport.Halt();  // the library reports a reset left pending, or work left queued
  EXPECT_EQ(miniport.resetCompletions().size(), 1u);
}

// The reset's close and reopen and the stop's close must not overlap: a reopen after the stop
// would leave pipes running on a deconfigured device.
TEST_F(ResetTest, StopWaitsForAResetThatIsClosingThePipes) {
  device->closeDelayMs = 50;
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  kernel().RunPending();  // the work item is now inside ClosePipes
  ASSERT_EQ(device->calls, (Calls{"ClosePipes"}));
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  EXPECT_EQ(device->calls, (Calls{"ClosePipes", "OpenPipes", "ClosePipes", "Stop"}));
  EXPECT_EQ(device->overlaps, 0);
  EXPECT_EQ(miniport.resetCompletions().size(), 1u);
  miniport.Halt();
}

}  // namespace
