// Whole sessions of the driver with the device model: the control side (filter, link, speed,
// power) together with traffic, and the ways an adapter ends: halt, surprise removal during
// traffic or during a power change, and a reset with packets queued.
#include "SystemTest.h"

namespace {

using namespace ecm_descriptors;
using emu::usb::TransferResult;
using emu::usb::When;

class SessionTest : public SystemTest {
 protected:
  // Lets the media status timer (100 ms) run.
  void Settle() { kernel().AdvanceTimeMs(150); }
};

TEST_F(SessionTest, FilterLinkTrafficFlapSpeedAndPowerCycle) {
  ASSERT_NE(Initialize(), nullptr);
  EXPECT_EQ(QueryUlong(OID_GEN_MEDIA_CONNECT_STATUS), ULONG{NdisMediaStateConnected});

  // The filter reaches the device as its ECM bitmap, and the device filters by it.
  ASSERT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER,
                     NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST),
            NDIS_STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(usb.device().packetFilter(), 0x1C);

  // Link down and up again: each indicated once the media timer runs.
  usb.device().SetLink(false);
  Settle();
  usb.device().SetLink(true);
  Settle();
  EXPECT_EQ(StatusCount(NDIS_STATUS_MEDIA_DISCONNECT), 1u);
  EXPECT_EQ(StatusCount(NDIS_STATUS_MEDIA_CONNECT), 1u);
  ASSERT_FALSE(miniport.statusIndications().empty());
  EXPECT_EQ(miniport.statusIndications().back().status, NDIS_STATUS_MEDIA_CONNECT);

  // Traffic: what the filter lets through reaches the protocol, the rest stays on the wire.
  Bytes toUs = EthernetFrame(200, kBuiltInAddress, kPeer, 1);
  Bytes toOther = EthernetFrame(200, kPeer, kPeer, 2);
  Bytes broadcast = EthernetFrame(300, kBroadcast, kPeer, 3);
  EXPECT_TRUE(usb.device().DeliverFromWire(toUs));
  EXPECT_FALSE(usb.device().DeliverFromWire(toOther));
  EXPECT_TRUE(usb.device().DeliverFromWire(broadcast));
  Bytes out = EthernetFrame(512, kPeer, kBuiltInAddress, 4);
  Send({out});
  kernel().RunPending();
  EXPECT_EQ(Received(), (std::vector<Bytes>{toUs, broadcast}));
  EXPECT_EQ(DeviceFrames(), std::vector<Bytes>{out});

  // Speed: the uplink rate, in units of 100 bit/s.
  usb.device().SetSpeed(1000000000, 10000000);
  kernel().RunPending();
  EXPECT_EQ(QueryUlong(OID_GEN_LINK_SPEED), 100000u);

  // D3: the set pends until the pipes are closed; packets sent meanwhile wait in the adapter.
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD3), NDIS_STATUS_PENDING);
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(usb.bus().PendingIrps(), 0u) << "no read or write out in D3";
  Bytes whileAsleep1 = EthernetFrame(64, kPeer, kBuiltInAddress, 5);
  Bytes whileAsleep2 = EthernetFrame(1514, kPeer, kBuiltInAddress, 6);
  Send({whileAsleep1, whileAsleep2});
  kernel().RunPending();
  EXPECT_EQ(DeviceFrames().size(), 1u);

  // D0: the pipes reopen and what waited goes out, then traffic goes on both ways.
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD0), NDIS_STATUS_PENDING);
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions().size(), 2u);
  EXPECT_EQ(DeviceFrames(), (std::vector<Bytes>{out, whileAsleep1, whileAsleep2}));
  Bytes after = EthernetFrame(100, kBuiltInAddress, kPeer, 7);
  EXPECT_TRUE(usb.device().DeliverFromWire(after));
  kernel().RunPending();
  EXPECT_EQ(Received().back(), after);
  EXPECT_EQ(QueryUlong(OID_GEN_XMIT_OK), 3u);
  EXPECT_EQ(miniport.sendCompletions().size(), 3u);
  miniport.Halt();
}

TEST_F(SessionTest, SurpriseRemovalDuringTrafficCompletesEveryPacketOnce) {
  ASSERT_NE(Initialize(), nullptr);
  usb.bus().HoldEndpoint(kDataOutEndpoint, true);  // writes stay on the bus, later ones queue
  std::vector<Bytes> frames;
  for (UCHAR i = 0; i < 10; ++i) frames.push_back(EthernetFrame(100 + i, kPeer, kBuiltInAddress, i));
  Send(frames);
  EXPECT_TRUE(usb.device().DeliverFromWire(EthernetFrame(80, kBuiltInAddress, kPeer, 9)));
  kernel().RunPending();
  EXPECT_EQ(usb.bus().QueuedTransfers(kDataOutEndpoint), 3u);
  usb.bus().Unplug();
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  kernel().RunPending();
  EXPECT_EQ(miniport.sendCompletions().size(), frames.size());
  EXPECT_EQ(usb.bus().PendingIrps(), 0u);
  miniport.Halt();
  EXPECT_TRUE(DeviceFrames().empty());
}

// The removal arrives while a power-down is draining a read that is on the wire: the stop's
// close waits for the power routine's instead of running beside it, nothing waits in a
// circle, and the pended set completes exactly once.
TEST_F(SessionTest, SurpriseRemovalWhileAPowerDownDrainsNeitherOverlapsNorDeadlocks) {
  ASSERT_NE(Initialize(), nullptr);
  ASSERT_TRUE(usb.bus().CompleteTransfer(usb.bus().Transfers(kDataInEndpoint).at(0).id,
                                         TransferResult::Data(EthernetFrame(60, kBuiltInAddress, kPeer, 1)), When::Dpc,
                                         2000));
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD3), NDIS_STATUS_PENDING);
  kernel().RunPending();
  EXPECT_TRUE(miniport.setCompletions().empty()) << "the power-down is draining";
  uint64_t before = kernel().NowMs();
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  EXPECT_EQ(kernel().NowMs() - before, 2000u) << "the stop waited for the power-down's close";
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  usb.bus().Unplug();
  miniport.Halt();
  EXPECT_TRUE(Received().empty());
}

// A power-up that the stop overtakes reopens nothing, and its set still completes.
TEST_F(SessionTest, PowerUpQueuedBeforeARemovalLeavesThePipesClosed) {
  ASSERT_NE(Initialize(), nullptr);
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD3), NDIS_STATUS_PENDING);
  kernel().RunPending();
  size_t requests = usb.bus().Requests().size();
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD0), NDIS_STATUS_PENDING);
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  kernel().RunPending();
  EXPECT_EQ(miniport.setCompletions().size(), 2u);
  std::vector<emu::usb::BusRequest> after = usb.bus().Requests();
  ASSERT_EQ(after.size(), requests + 1) << "only the deconfiguration";
  EXPECT_EQ(after.back().function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(usb.bus().PendingIrps(), 0u);
  miniport.Halt();
}

TEST_F(SessionTest, ResetWithPacketsQueuedCompletesThemAndTrafficGoesOn) {
  ASSERT_NE(Initialize(), nullptr);
  usb.bus().HoldEndpoint(kDataOutEndpoint, true);
  std::vector<Bytes> frames;
  for (UCHAR i = 0; i < 8; ++i) frames.push_back(EthernetFrame(200, kPeer, kBuiltInAddress, i));
  Send(frames);
  kernel().RunPending();
  EXPECT_EQ(miniport.sendCompletions().size(), 3u) << "three went to the bus, five wait";
  BOOLEAN addressingReset = TRUE;
  EXPECT_EQ(miniport.Reset(&addressingReset), NDIS_STATUS_PENDING);
  EXPECT_EQ(miniport.sendCompletions().size(), frames.size()) << "the queue is completed at once";
  kernel().RunPending();
  ASSERT_EQ(miniport.resetCompletions().size(), 1u);
  EXPECT_EQ(miniport.resetCompletions()[0].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(usb.bus().QueuedTransfers(kDataOutEndpoint), 0u) << "the writes on the bus were aborted";
  usb.bus().HoldEndpoint(kDataOutEndpoint, false);
  Bytes next = EthernetFrame(300, kPeer, kBuiltInAddress, 42);
  Send({next});
  kernel().RunPending();
  EXPECT_EQ(DeviceFrames(), std::vector<Bytes>{next});
  Bytes in = EthernetFrame(70, kBuiltInAddress, kPeer, 43);
  ASSERT_TRUE(usb.device().DeliverFromWire(in));
  kernel().RunPending();
  EXPECT_EQ(Received(), std::vector<Bytes>{in});
}

}  // namespace
