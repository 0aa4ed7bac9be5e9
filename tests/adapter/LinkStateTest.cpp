// Link state and speed reach NDIS from the media status timer, 100 ms after the change.
#include "StartedAdapterTest.h"

namespace {

class LinkStateTest : public StartedAdapterTest {};

TEST_F(LinkStateTest, AConnectIsIndicated100msLater) {
  uint64_t start = kernel().NowMs();
  adapter->OnLinkStateChanged(TRUE);
  EXPECT_EQ(adapter->MediaState, NdisMediaStateConnected);
  kernel().AdvanceTimeMs(99);
  EXPECT_TRUE(miniport.statusIndications().empty());
  kernel().AdvanceTimeMs(1);
  auto indications = miniport.statusIndications();
  ASSERT_EQ(indications.size(), 1u);
  EXPECT_EQ(indications[0].status, NDIS_STATUS_MEDIA_CONNECT);
  EXPECT_EQ(indications[0].timeMs, start + 100);
}

TEST_F(LinkStateTest, ChangesWithin100msGiveOneIndicationOfTheLatestState) {
  adapter->OnLinkStateChanged(TRUE);
  kernel().AdvanceTimeMs(60);
  adapter->OnLinkStateChanged(FALSE);
  kernel().AdvanceTimeMs(60);
  adapter->OnLinkStateChanged(TRUE);
  kernel().AdvanceTimeMs(200);
  auto indications = miniport.statusIndications();
  ASSERT_EQ(indications.size(), 1u);
  EXPECT_EQ(indications[0].status, NDIS_STATUS_MEDIA_CONNECT);
}

TEST_F(LinkStateTest, BeforeInitializationCompletesOnlyTheStateChanges) {
  adapter->Initialized = FALSE;
  adapter->OnLinkStateChanged(TRUE);
  kernel().AdvanceTimeMs(200);
  EXPECT_EQ(adapter->MediaState, NdisMediaStateConnected);
  EXPECT_TRUE(miniport.statusIndications().empty());
  adapter->Initialized = TRUE;
}

TEST_F(LinkStateTest, TheUplinkRateSetsTheSpeedInUnitsOf100Bits) {
  adapter->OnLinkSpeedChanged(2000, 500);
  EXPECT_EQ(adapter->LinkSpeed, 5u);
  adapter->OnLinkSpeedChanged(100000000, 99);
  EXPECT_EQ(adapter->LinkSpeed, 0u);
}

}  // namespace
