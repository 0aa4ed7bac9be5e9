// The driver against a device and a platform that behave as hardware and NDIS do: frames
// longer than a receive buffer, each status a surprise removal may leave, a device that
// never answers a control request, NDIS resetting a request that pends too long, pipes that
// stopped for good or a filter the device never got, and a second configuration with limits
// of its own.
#include "SystemTest.h"

namespace {

using namespace ecm_descriptors;
using emu::usb::TransferResult;
using emu::usb::When;

class HardwareBehaviourTest : public SystemTest {};

// A full 1536-byte read can only be part of a frame longer than any the adapter takes: it
// and its continuation up to the short packet are dropped and counted once, and the frames
// around them arrive whole.
TEST_F(HardwareBehaviourTest, FrameLongerThanAReceiveBufferIsDroppedWithItsContinuationAndCounted) {
  ASSERT_NE(Initialize(), nullptr);
  std::vector<Bytes> frames = {EthernetFrame(60, kBuiltInAddress, kPeer, 1),
                               EthernetFrame(1600, kBuiltInAddress, kPeer, 2),   // 1536 + 64
                               EthernetFrame(100, kBuiltInAddress, kPeer, 3),
                               EthernetFrame(3072, kBuiltInAddress, kPeer, 4),   // 1536 + 1536 + nothing
                               EthernetFrame(1514, kBuiltInAddress, kPeer, 5)};
  for (const Bytes& frame : frames) usb.device().DataIn().Queue(frame);
  kernel().RunPending();
  EXPECT_EQ(Received(), (std::vector<Bytes>{frames[0], frames[2], frames[4]}));
  EXPECT_EQ(QueryUlong(OID_GEN_RCV_ERROR), 2u);
  EXPECT_EQ(QueryUlong(OID_GEN_RCV_OK), 3u);
}

// Whatever status the bus gives the transfers a removal finds, every packet completes once,
// the halt returns, and nothing is left (the fixture's checks).
TEST_F(HardwareBehaviourTest, SurpriseRemovalWithEachStatusThePlatformUsesEndsCleanly) {
  for (const emu::usb::RemovalStatus& removal : emu::usb::kRemovalStatuses) {
    emu::ndis::Miniport& each = library().AddMiniport();
    UsbDeviceBench device;
    each.deviceStack().physical = device.Pdo();
    each.deviceStack().lower = device.Pdo();
    ASSERT_EQ(each.Initialize(), NDIS_STATUS_SUCCESS) << removal.name;
    kernel().RunPending();
    device.bus().HoldEndpoint(kDataOutEndpoint, true);
    std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> packets;
    std::vector<PNDIS_PACKET> batch;
    for (UCHAR i = 0; i < 6; ++i) {
      packets.push_back(std::make_unique<emu::ndis::ProtocolPacket>(EthernetFrame(100 + i, kPeer, kBuiltInAddress, i)));
      batch.push_back(packets.back()->packet());
    }
    each.SendPackets(batch);
    kernel().RunPending();
    device.bus().Unplug(removal);
    each.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
    kernel().RunPending();
    EXPECT_EQ(each.sendCompletions().size(), batch.size()) << removal.name;
    EXPECT_EQ(device.bus().PendingIrps(), 0u) << removal.name;
    uint64_t before = kernel().NowMs();
    each.Halt();
    EXPECT_LE(kernel().NowMs() - before, 10000u) << removal.name << ": the halt is bounded";
    EXPECT_TRUE(TakeViolations().empty()) << removal.name;
  }
}

// A device that never answers SET_ETHERNET_PACKET_FILTER: the request times out, the set
// completed long before, traffic flows and the halt does not wait for the device.
TEST_F(HardwareBehaviourTest, FilterRequestTheDeviceNeverAnswersTimesOutAndTrafficFlows) {
  usb.device().IgnoreControlRequests(true);
  ASSERT_NE(Initialize(), nullptr);
  EXPECT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
  kernel().AdvanceTimeMs(1000);
  EXPECT_TRUE(usb.device().packetFilterRequests().empty()) << "never answered, never taken";
  Bytes frame = EthernetFrame(60, kBuiltInAddress, kPeer, 7);
  usb.device().DataIn().Queue(frame);
  kernel().RunPending();
  EXPECT_EQ(Received(), std::vector<Bytes>{frame});
}

// NDIS resets an adapter whose set stays pending past its hang check: a power-down held up by
// a read on the wire for 3 s. Both the reset and the set complete, and traffic goes on.
TEST_F(HardwareBehaviourTest, SetPendingPastTheHangCheckIsResetAndBothComplete) {
  ASSERT_NE(Initialize(), nullptr);
  ASSERT_TRUE(usb.bus().CompleteTransfer(usb.bus().Transfers(kDataInEndpoint).at(0).id,
                                         TransferResult::Data(EthernetFrame(60, kBuiltInAddress, kPeer, 1)), When::Dpc,
                                         3000));
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD3), NDIS_STATUS_PENDING);
  kernel().AdvanceTimeMs(5000);
  EXPECT_EQ(miniport.hangResets(), 1u);
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  EXPECT_EQ(miniport.resetCompletions().size(), 1u);
  ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD0), NDIS_STATUS_PENDING);
  kernel().RunPending();
  Bytes frame = EthernetFrame(80, kBuiltInAddress, kPeer, 2);
  usb.device().DataIn().Queue(frame);
  kernel().RunPending();
  EXPECT_EQ(Received().back(), frame);
}

// What leaves the device behind for good: pipes that nothing in the driver would start again,
// or a packet filter the device never gets.
enum class LeftBehind { ReopenAtD0Fails, PowerUpNotQueued, RepairCannotRestart, RepairNotQueued, FilterSetNotQueued };

std::string LeftBehindName(const ::testing::TestParamInfo<LeftBehind>& info) {
  const char* names[] = {"reopen_at_D0_fails", "power_up_not_queued", "repair_cannot_restart", "repair_not_queued",
                         "filter_set_not_queued"};
  return names[static_cast<int>(info.param)];
}

class HangCheckTest : public HardwareBehaviourTest, public ::testing::WithParamInterface<LeftBehind> {};

// Whatever it was, NDIS's hang check asks the adapter, resets it, and the reset completes the
// packets that waited and opens the pipes: traffic flows again, with the adapter's filter.
TEST_P(HangCheckTest, NdisResetsTheAdapterAndTheDeviceCatchesUp) {
  miniport.registry().SetInteger("SendClearEpHaltOnStart", 1);
  ASSERT_NE(Initialize(), nullptr);
  ASSERT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
  kernel().RunPending();
  USHORT deviceFilter = 0x04;
  auto resetFails = emu::usb::ControlFault::Fail(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, STATUS_UNSUCCESSFUL,
                                                 USBD_STATUS_STALL_PID)
                        .Times(1);
  switch (GetParam()) {
    case LeftBehind::ReopenAtD0Fails:
    case LeftBehind::PowerUpNotQueued:
      ASSERT_EQ(SetUlong(OID_PNP_SET_POWER, kD3), NDIS_STATUS_PENDING);
      kernel().RunPending();
      if (GetParam() == LeftBehind::ReopenAtD0Fails)
        usb.bus().InjectFault(resetFails);
      else
        kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
      SetUlong(OID_PNP_SET_POWER, kD0);
      kernel().RunPending();
      break;
    case LeftBehind::RepairCannotRestart:
    case LeftBehind::RepairNotQueued:
      if (GetParam() == LeftBehind::RepairCannotRestart)
        usb.bus().InjectFault(resetFails);
      else
        kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
      ASSERT_TRUE(usb.bus().CompleteTransfer(usb.bus().Transfers(kDataInEndpoint).at(0).id, TransferResult::Stall(),
                                             When::Dpc));
      kernel().RunPending();
      break;
    case LeftBehind::FilterSetNotQueued:
      kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
      ASSERT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST),
                NDIS_STATUS_SUCCESS);
      kernel().RunPending();
      EXPECT_EQ(usb.device().packetFilter(), deviceFilter) << "the request never went out";
      deviceFilter = 0x0C;
      break;
  }
  EXPECT_EQ(miniport.hangResets(), 0u);
  Send({EthernetFrame(60, kPeer, kBuiltInAddress, 1), EthernetFrame(61, kPeer, kBuiltInAddress, 2)});
  kernel().AdvanceTimeMs(4000);
  EXPECT_EQ(miniport.hangResets(), 1u);
  ASSERT_EQ(miniport.resetCompletions().size(), 1u);
  EXPECT_EQ(miniport.resetCompletions()[0].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(miniport.sendCompletions().size(), 2u) << "the packets that waited are complete";
  EXPECT_EQ(usb.device().packetFilter(), deviceFilter);
  Bytes in = EthernetFrame(70, kBuiltInAddress, kPeer, 3), out = EthernetFrame(71, kPeer, kBuiltInAddress, 4);
  usb.device().DataIn().Queue(in);
  Send({out});
  kernel().RunPending();
  EXPECT_EQ(Received().back(), in);
  ASSERT_FALSE(DeviceFrames().empty());
  EXPECT_EQ(DeviceFrames().back(), out);
  kernel().AdvanceTimeMs(10000);
  EXPECT_EQ(miniport.hangResets(), 1u) << "a device that caught up needs no reset";
}

INSTANTIATE_TEST_SUITE_P(Ways, HangCheckTest,
                         ::testing::Values(LeftBehind::ReopenAtD0Fails, LeftBehind::PowerUpNotQueued,
                                           LeftBehind::RepairCannotRestart, LeftBehind::RepairNotQueued,
                                           LeftBehind::FilterSetNotQueued),
                         LeftBehindName);

// The second configuration reuses the first one's endpoint addresses with full-speed packets,
// an 8-byte interrupt endpoint and a 1000-byte segment: frames up to it pass whole both ways.
TEST_F(HardwareBehaviourTest, SecondConfigurationWorksWithItsOwnLimits) {
  emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile();
  profile.configurations[1] =
      Configuration(2, {CommunicationInterface(), HeaderAndUnion(), EthernetNetworking(kMacStringIndex, 1000),
                        NotifyEndpoint(8), DataInterface(64)},
                    2);
  Plug(profile);
  miniport.registry().SetInteger("ConfigurationIndex", 1);
  ASSERT_NE(Initialize(), nullptr);
  EXPECT_EQ(usb.bus().ConfigurationValue(), 2);
  EXPECT_EQ(QueryUlong(OID_GEN_MAXIMUM_TOTAL_SIZE), 1000u);
  usb.device().EchoWire();
  std::vector<Bytes> frames;
  for (size_t size : {60u, 64u, 128u, 999u, 1000u}) frames.push_back(EthernetFrame(size, kPeer, kBuiltInAddress, 9));
  Send(frames);
  kernel().RunPending();
  ASSERT_EQ(DeviceFrames().size(), frames.size());
  for (const emu::devices::ReceivedFrame& frame : usb.device().DataOut().Frames()) EXPECT_FALSE(frame.truncated);
  EXPECT_EQ(Received().size(), frames.size()) << "echoed back whole";
}

}  // namespace
