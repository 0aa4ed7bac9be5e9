// Frames through the whole driver and the device model, byte for byte and in order: every size
// that meets a packet boundary on full- and high-speed endpoints, with and without one-byte
// termination, the sizes refused on the way, and a long run that allocates nothing.
#include <deque>
#include <tuple>

#include "SystemTest.h"

namespace {

using namespace ecm_descriptors;

const size_t kSizes[] = {14, 15, 60, 63, 64, 65, 511, 512, 513, 1514, 1535, 1536};

// A device whose segment size takes the longest frame a send buffer carries (1535), so every
// frame the driver sends can arrive whole.
emu::devices::DeviceProfile DeviceWithPackets(USHORT packet) {
  return EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking(kMacStringIndex, 1536)}), packet));
}

class SizesTest : public SystemTest, public ::testing::WithParamInterface<std::tuple<USHORT, ULONG>> {
 protected:
  SizesTest() : SystemTest(DeviceWithPackets(std::get<0>(GetParam()))) {}
  USHORT packet() const { return std::get<0>(GetParam()); }
  ULONG oneByteTermination() const { return std::get<1>(GetParam()); }
};

TEST_P(SizesTest, EveryFrameTheDriverSendsArrivesWholeAndTheRefusedOnesAreCounted) {
  miniport.registry().SetInteger("OneByteTermination", oneByteTermination());
  ASSERT_NE(Initialize(), nullptr);
  std::vector<Bytes> sent;
  for (size_t size : kSizes) sent.push_back(EthernetFrame(size, kPeer, kBuiltInAddress, static_cast<UCHAR>(size)));
  Send(sent);
  kernel().RunPending();

  std::vector<emu::devices::ReceivedFrame> frames = usb.device().DataOut().Frames();
  ASSERT_EQ(frames.size(), sent.size() - 1) << "all but the 1536-byte frame, which a buffer cannot carry";
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].bytes, sent[i]) << kSizes[i];
    EXPECT_FALSE(frames[i].merged() || frames[i].truncated) << kSizes[i];
    EXPECT_EQ(frames[i].terminationByte, oneByteTermination() && kSizes[i] % packet() == 0) << kSizes[i];
  }
  EXPECT_EQ(miniport.sendCompletions().size(), sent.size());
  for (const emu::ndis::SendCompletion& completion : miniport.sendCompletions())
    EXPECT_EQ(completion.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(QueryUlong(OID_GEN_XMIT_OK), sent.size()) << "the refused frame counts as sent";
  EXPECT_EQ(QueryUlong(OID_GEN_XMIT_ERROR), 0u);
}

TEST_P(SizesTest, EveryFrameTheDeviceDeliversIsIndicatedWholeButRuntsAndOversized) {
  miniport.registry().SetInteger("OneByteTermination", oneByteTermination());
  ASSERT_NE(Initialize(), nullptr);
  std::vector<Bytes> delivered;
  for (size_t size : kSizes) {
    delivered.push_back(EthernetFrame(size, kBuiltInAddress, kPeer, static_cast<UCHAR>(size + 1)));
    ASSERT_TRUE(usb.device().DeliverFromWire(delivered.back()));
  }
  kernel().RunPending();
  // Neither the 14-byte runt nor the 1536-byte frame, which fills a whole receive buffer and
  // so cannot be told from the start of a longer one.
  std::vector<Bytes> expected(delivered.begin() + 1, delivered.end() - 1);
  EXPECT_EQ(Received(), expected);
  EXPECT_EQ(QueryUlong(OID_GEN_RCV_OK), expected.size());
  EXPECT_EQ(QueryUlong(OID_GEN_RCV_ERROR), 2u);
  EXPECT_EQ(QueryUlong(OID_GEN_RCV_NO_BUFFER), 0u);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, SizesTest,
                         ::testing::Combine(::testing::Values(USHORT{64}, USHORT{512}), ::testing::Values(0u, 1u)),
                         [](const ::testing::TestParamInfo<std::tuple<USHORT, ULONG>>& info) {
                           return "packet" + std::to_string(std::get<0>(info.param)) + "_termination" +
                                  std::to_string(std::get<1>(info.param));
                         });

class LongRunTest : public SystemTest {};

// After bring-up, the data path allocates nothing: not a buffer, an IRP, an MDL or a work item.
TEST_F(LongRunTest, TenThousandFramesEachWayArriveInOrderWithoutAnAllocation) {
  constexpr size_t kFrames = 10000;
  constexpr size_t kBatch = 20;
  miniport.registry().SetInteger("OneByteTermination", 1);
  ASSERT_NE(Initialize(), nullptr);
  emu::ndis::Protocol& protocol = miniport.protocol();
  protocol.recordFrames = false;
  std::deque<Bytes> expected;
  size_t inOrder = 0;
  protocol.onFrame = [&](const emu::ndis::ReceivedFrame& frame) {
    if (!expected.empty() && frame.Bytes() == expected.front()) ++inOrder;
    if (!expected.empty()) expected.pop_front();
  };
  std::vector<Bytes> sent;
  uint64_t allocations = kernel().pool().AllocationCount();
  for (size_t n = 0; n < kFrames; n += kBatch) {
    std::vector<Bytes> batch;
    for (size_t i = n; i < n + kBatch; ++i) {
      batch.push_back(EthernetFrame(15 + (i * 37) % 1500, kPeer, kBuiltInAddress, static_cast<UCHAR>(i)));
      expected.push_back(EthernetFrame(15 + (i * 53) % 1500, kBuiltInAddress, kPeer, static_cast<UCHAR>(i + 7)));
      ASSERT_TRUE(usb.device().DeliverFromWire(expected.back()));
    }
    Send(batch);
    sent.insert(sent.end(), batch.begin(), batch.end());
    kernel().RunPending();
  }
  EXPECT_EQ(kernel().pool().AllocationCount(), allocations) << "the data path allocated";
  EXPECT_EQ(inOrder, kFrames);
  EXPECT_TRUE(expected.empty());
  EXPECT_EQ(DeviceFrames(), sent);
  EXPECT_EQ(QueryUlong(OID_GEN_XMIT_OK), kFrames);
  EXPECT_EQ(QueryUlong(OID_GEN_RCV_OK), kFrames);
}

// A bridge runs for hours: with recording off, the device model, the bus and the library let
// every frame through as before but keep nothing per frame; control requests are still logged.
TEST_F(LongRunTest, WithRecordingOffFramesPassAndNothingIsKeptPerFrame) {
  constexpr size_t kFrames = 40;
  ASSERT_NE(Initialize(), nullptr);
  usb.device().RecordHostFrames(false);
  usb.bus().RecordTransfers(false);
  miniport.RecordSendCompletions(false);
  miniport.protocol().recordFrames = false;
  size_t heard = 0;
  usb.device().ConnectWire([&](const Bytes&) { ++heard; });
  size_t requests = usb.bus().Requests().size();
  for (size_t i = 0; i < kFrames; ++i) {
    Send({EthernetFrame(60 + i, kPeer, kBuiltInAddress, static_cast<UCHAR>(i))});
    ASSERT_TRUE(usb.device().DeliverFromWire(EthernetFrame(70 + i, kBuiltInAddress, kPeer, static_cast<UCHAR>(i))));
    kernel().RunPending();
  }
  EXPECT_EQ(heard, kFrames);
  EXPECT_EQ(miniport.protocol().frameCount(), kFrames);
  EXPECT_EQ(QueryUlong(OID_GEN_XMIT_OK), kFrames);
  EXPECT_TRUE(DeviceFrames().empty());
  EXPECT_TRUE(miniport.sendCompletions().empty());
  EXPECT_TRUE(miniport.protocol().frames().empty());
  EXPECT_EQ(usb.bus().Requests().size(), requests);
  ASSERT_EQ(SetUlong(OID_GEN_CURRENT_PACKET_FILTER, NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
  kernel().RunPending();
  ASSERT_EQ(usb.bus().Requests().size(), requests + 1);
  EXPECT_EQ(usb.bus().Requests().back().function, URB_FUNCTION_CLASS_INTERFACE);
}

}  // namespace
