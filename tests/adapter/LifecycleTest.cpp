// Stop, surprise removal, halt and destruction of a started adapter.
#include "StartedAdapterTest.h"
#include "driver/MiniportDriver.h"

namespace {

class LifecycleTest : public StartedAdapterTest {};

TEST_F(LifecycleTest, HaltStopsTheDeviceLeavesTheListAndReleasesEverything) {
  QueuePackets(2);
  miniport.Halt();  // the library checks timers, work items, allocations and packets
  EXPECT_EQ(miniport.sendCompletions().size(), 2u);
  EXPECT_TRUE(TheMiniportDriver->Adapters.IsEmpty());
}

TEST_F(LifecycleTest, SurpriseRemovalStopsAtOnceAndHaltStopsAgainHarmlessly) {
  QueuePackets(3);
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  EXPECT_EQ(device->calls, (Calls{"ClosePipes", "Stop"}));
  EXPECT_EQ(adapter->HardwareStatus, NdisHardwareStatusNotReady);
  EXPECT_FALSE(adapter->SendEnabled);
  EXPECT_FALSE(adapter->ReceiveEnabled);
  EXPECT_TRUE(adapter->Initialized);
  EXPECT_EQ(adapter->Target.LowerDevice, nullptr);
  EXPECT_EQ(adapter->Target.PhysicalDevice, nullptr);
  auto completions = miniport.sendCompletions();
  ASSERT_EQ(completions.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(completions[i].packet, &packets[i]) << "in queue order";
    EXPECT_EQ(completions[i].status, NDIS_STATUS_SUCCESS);
  }
  EXPECT_EQ(adapter->XmitOk, 0u) << "flushed packets are not counted";
  // Still listed until halt.
  EXPECT_EQ(TheMiniportDriver->Adapters.Next(nullptr), adapter);
  // After the removal NDIS may still hand packets over: completed at once.
  NDIS_PACKET late = {};
  miniport.SendPackets({nullptr, &late});
  EXPECT_EQ(miniport.sendCompletions().size(), 4u);
  miniport.Halt();
  EXPECT_TRUE(TheMiniportDriver->Adapters.IsEmpty());
}

TEST_F(LifecycleTest, OtherPnPEventsAreIgnored) {
  for (NDIS_DEVICE_PNP_EVENT event : {NdisDevicePnPEventQueryRemoved, NdisDevicePnPEventRemoved,
                                      NdisDevicePnPEventQueryStopped, NdisDevicePnPEventStopped,
                                      NdisDevicePnPEventPowerProfileChanged})
    miniport.PnPEvent(event);
  EXPECT_TRUE(device->calls.empty());
  EXPECT_EQ(adapter->HardwareStatus, NdisHardwareStatusReady);
  miniport.Halt();
}

// A power change that finishes while halt closes the pipes arms the request timer after
// StopDevice cancelled it; the adapter's memory must not go with the timer armed.
TEST_F(LifecycleTest, ATimerArmedDuringTheStopDoesNotOutliveTheAdapter) {
  device->onClose = [this] { adapter->OnRequestFinished(); };
  miniport.Halt();  // the library and the pool report an armed timer in freed memory
}

TEST_F(LifecycleTest, HaltClearsInitializedBeforeStopping) {
  adapter->OnLinkStateChanged(TRUE);  // arms the media status timer
  miniport.Halt();
  kernel().AdvanceTimeMs(200);
  EXPECT_TRUE(miniport.statusIndications().empty());
}

}  // namespace
