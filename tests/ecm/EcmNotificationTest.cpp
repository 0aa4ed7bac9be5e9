// What the device says on its interrupt endpoint, and what of it reaches the adapter: each
// transfer parsed on its own, the read put out again whatever it held.
#include "EcmTest.h"

namespace {

using namespace ecm_descriptors;
using emu::usb::TransferResult;
using emu::usb::When;

Bytes Connection(USHORT value) {
  return {0xA1, 0x00, static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8), 0, 0, 0, 0};
}

Bytes SpeedChange(ULONG downlink, ULONG uplink) {
  Bytes bytes = {0xA1, 0x2A, 0, 0, 0, 0, 8, 0};
  for (ULONG rate : {downlink, uplink})
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<UCHAR>(rate >> shift));
  return bytes;
}

class EcmNotificationTest : public EcmTest {
 protected:
  // The device announces nothing of its own: the test writes every notification.
  void SetUp() override {
    model().SetNotifications(false);
    Open();
  }
  void Notify(const Bytes& notification) {
    model().NotificationIn().Queue(notification);
    kernel().RunPending();
  }
  size_t ReadsOut() { return bus().QueuedTransfers(kNotifyEndpoint); }
};

TEST_F(EcmNotificationTest, ConnectionAndSpeedReachTheAdapter) {
  Notify(Connection(1));
  Notify(Connection(2));
  Notify(Connection(0));
  Notify(SpeedChange(100000000, 10000000));
  EXPECT_EQ(sink.links, (std::vector<BOOLEAN>{TRUE, FALSE, FALSE})) << "only wValue 1 is connected";
  EXPECT_EQ(sink.speeds, (std::vector<std::pair<ULONG, ULONG>>{{100000000, 10000000}})) << "downlink first";
  EXPECT_EQ(ReadsOut(), 1u);
}

TEST_F(EcmNotificationTest, ShortNotificationsAndOtherCodesAreDroppedWithTheReadPutOutAgain) {
  Bytes connection = Connection(1);
  Notify(Bytes(connection.begin(), connection.begin() + 7));
  EXPECT_EQ(ReadsOut(), 1u);
  Bytes speed = SpeedChange(2000, 500);
  Notify(Bytes(speed.begin(), speed.begin() + 15));
  EXPECT_EQ(ReadsOut(), 1u);
  Notify({0xA1, 0x01, 0, 0, 0, 0, 0, 0});  // RESPONSE_AVAILABLE
  EXPECT_EQ(ReadsOut(), 1u);
  EXPECT_TRUE(sink.links.empty());
  EXPECT_TRUE(sink.speeds.empty());
  EXPECT_EQ(device->NotificationPipe.pool.freeCount, 0u) << "the single buffer is out as a read";
}

TEST_F(EcmNotificationTest, FailedReadRecoversAndAGoneDeviceIsNotReadAgain) {
  ASSERT_TRUE(bus().CompleteTransfer(bus().Transfers(kNotifyEndpoint).at(0).id, TransferResult::Stall(), When::Inline));
  kernel().RunPending();
  EXPECT_EQ(RequestsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(), 1u);
  EXPECT_EQ(ReadsOut(), 1u) << "read again after the repair";
  Notify(Connection(1));
  EXPECT_EQ(sink.links, std::vector<BOOLEAN>{TRUE});

  ASSERT_TRUE(
      bus().CompleteTransfer(bus().Transfers(kNotifyEndpoint).at(0).id, TransferResult::DeviceGone(), When::Inline));
  kernel().RunPending();
  EXPECT_EQ(RequestsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(), 1u) << "no repair";
  EXPECT_EQ(ReadsOut(), 0u);
  Notify(Connection(0));
  EXPECT_EQ(sink.links, std::vector<BOOLEAN>{TRUE}) << "nothing is read from a gone device";
}

class EcmDeviceLinkTest : public EcmTest {};

// The device model reports its link when the data interface starts and on each change.
TEST_F(EcmDeviceLinkTest, DeviceReportsItsLinkAtSelectionAndOnEachChange) {
  Open();
  EXPECT_EQ(sink.links, std::vector<BOOLEAN>{TRUE});
  EXPECT_EQ(sink.speeds, (std::vector<std::pair<ULONG, ULONG>>{{100000000, 100000000}}));
  model().SetLink(false);
  model().SetSpeed(2000, 500);
  model().SetLink(true);
  kernel().RunPending();
  EXPECT_EQ(sink.links, (std::vector<BOOLEAN>{TRUE, FALSE, TRUE}));
  EXPECT_EQ(sink.speeds.back(), (std::pair<ULONG, ULONG>{2000, 500}));
}

// An 8-byte interrupt endpoint carries a speed change in two transfers, each too short to be
// one: only the connection is heard, and the second half is not taken for anything.
TEST_F(EcmDeviceLinkTest, EightByteEndpointSplitsTheSpeedChangeAndItIsNotHeard) {
  Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()}), 64, 8)));
  Open();
  EXPECT_EQ(sink.links, std::vector<BOOLEAN>{TRUE});
  EXPECT_TRUE(sink.speeds.empty());
  EXPECT_EQ(RequestsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size() - settings.RxBuffers, 4u)
      << "three notification transfers and the read waiting now";
}

// The second half of a split speed change whose downlink rate is 65536 bit/s reads
// 00 00 01 00: code 0x00 with value 1, a NETWORK_CONNECTION saying "connected".
TEST_F(EcmDeviceLinkTest, SecondHalfOfASplitSpeedChangeIsNotTakenForAConnection) {
  Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()}), 64, 8)));
  Open();
  model().SetLink(false);
  model().SetSpeed(65536, 500);
  kernel().RunPending();
  EXPECT_EQ(sink.links, (std::vector<BOOLEAN>{TRUE, FALSE}));
  model().SetLink(true);
  kernel().RunPending();
  EXPECT_EQ(sink.links, (std::vector<BOOLEAN>{TRUE, FALSE, TRUE})) << "the next notification is heard";
}

}  // namespace

namespace {

// A speed change is continued in the next transfer only when its piece filled whole packets;
// a short piece ended the notification, and a restarted pipe begins afresh.
class SplitSpeedChangeTest : public EcmTest {
 protected:
  void OpenWithInterruptPackets(USHORT packet) {
    Plug(EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()}), 64, packet)));
    model().SetNotifications(false);
    Open();
  }
  void Notify(const Bytes& notification) {
    model().NotificationIn().Queue(notification);
    kernel().RunPending();
  }
};

TEST_F(SplitSpeedChangeTest, ShortPieceEndsTheSpeedChangeAndTheNextTransferIsHeard) {
  OpenWithInterruptPackets(16);
  Bytes speed = SpeedChange(2000, 500);
  Notify(Bytes(speed.begin(), speed.begin() + 12));  // ended by its short packet
  Notify(Connection(1));
  EXPECT_EQ(sink.links, std::vector<BOOLEAN>{TRUE});
  EXPECT_TRUE(sink.speeds.empty());
}

TEST_F(SplitSpeedChangeTest, RestartAfterAFailedReadForgetsTheRestOfASplitSpeedChange) {
  OpenWithInterruptPackets(8);
  Bytes speed = SpeedChange(2000, 500);
  Notify(Bytes(speed.begin(), speed.begin() + 8));  // a whole packet: the rest should follow
  ASSERT_TRUE(bus().CompleteTransfer(bus().Transfers(kNotifyEndpoint).at(0).id, TransferResult::Stall(), When::Inline));
  kernel().RunPending();
  ASSERT_EQ(RequestsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(), 1u);
  Notify(Connection(1));
  EXPECT_EQ(sink.links, std::vector<BOOLEAN>{TRUE}) << "the first notification after the restart";
}

}  // namespace
