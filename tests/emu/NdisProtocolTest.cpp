// The emulated NDIS library's protocol side and request queue against the tiny miniport:
// packets as protocols build them, receive indications checked and recorded, TransferData
// during an indication, and requests held back while a set pends.
#include "NdisTest.h"
#include "TimedCall.h"
#include "TinyMiniport.h"
#include "emu/ndis/Protocol.h"

namespace {

using namespace tiny;
using Bytes = std::vector<UCHAR>;
using emu::ndis::BufferSpec;
using emu::ndis::ProtocolPacket;
using emu::ndis::ReceivedFrame;
using emu::ndis::TransferRequest;

class NdisProtocolTest : public NdisTest {
 protected:
  void SetUp() override {
    ResetState();
    ASSERT_EQ(library().LoadDriver(TinyDriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(miniport.Initialize(), NDIS_STATUS_SUCCESS);
  }
  void TearDown() override {
    if (miniport.state() == emu::ndis::MiniportState::Running) miniport.Halt();
    NdisTest::TearDown();
  }
  // Indicates as a miniport does, from DISPATCH_LEVEL; the payload is the receive context.
  void Indicate(const Bytes& header, const Bytes& payload, UINT lookahead, KIRQL level = DISPATCH_LEVEL) {
    KIRQL irql = KfRaiseIrql(level);
    NdisMEthIndicateReceive(miniport.handle(), const_cast<Bytes*>(&payload), const_cast<UCHAR*>(header.data()),
                            static_cast<UINT>(header.size()), const_cast<UCHAR*>(payload.data()), lookahead,
                            static_cast<UINT>(payload.size()));
    NdisMEthIndicateReceiveComplete(miniport.handle());
    KfLowerIrql(irql);
  }
  std::vector<UCHAR> Query() {
    std::vector<UCHAR> buffer(4);
    ULONG written, needed;
    EXPECT_EQ(miniport.QueryInformation(OID_GEN_LINK_SPEED, buffer, &written, &needed), NDIS_STATUS_SUCCESS);
    return buffer;
  }
  NDIS_STATUS Set() {
    std::vector<UCHAR> buffer(4);
    ULONG read, needed;
    return miniport.SetInformation(OID_GEN_CURRENT_PACKET_FILTER, buffer, &read, &needed);
  }

  emu::ndis::Miniport& miniport = library().AddMiniport();
  emu::ndis::Protocol& protocol = miniport.protocol();
  Bytes header = Bytes(14, 0xE1);
};

TEST_F(NdisProtocolTest, APacketChainsItsBuffersAndLeavesUnmappedOnesWithoutAnAddress) {
  ProtocolPacket packet({{Bytes{1, 2, 3}}, {}, {Bytes{4, 5}, false}});
  PNDIS_BUFFER first = packet.packet()->Private.Head;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(MmGetMdlByteCount(first), 3u);
  EXPECT_TRUE(first->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  PNDIS_BUFFER empty = first->Next;
  EXPECT_EQ(MmGetMdlByteCount(empty), 0u);
  PNDIS_BUFFER unmapped = empty->Next;
  EXPECT_EQ(unmapped->Next, nullptr);
  EXPECT_FALSE(unmapped->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL));
  EXPECT_EQ(unmapped->MappedSystemVa, nullptr);
  auto* mapped = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(unmapped, NormalPagePriority));
  mapped[1] = 9;
  EXPECT_EQ(packet.Contents(), (Bytes{1, 2, 3, 4, 9}));
  UINT total = 0;
  NdisQueryPacket(packet.packet(), nullptr, nullptr, nullptr, &total);
  EXPECT_EQ(total, 5u);
}

TEST_F(NdisProtocolTest, EveryIndicationIsRecordedInOrderWithItsTime) {
  std::vector<uint64_t> seen;
  protocol.onFrame = [&](const ReceivedFrame& frame) { seen.push_back(frame.packetSize); };
  Indicate(header, Bytes(46, 1), 46);
  kernel().AdvanceTimeMs(7);
  Indicate(header, Bytes(1, 2), 1);
  auto frames = protocol.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].Bytes(), [&] { Bytes b = header; b.resize(60, 1); return b; }());
  EXPECT_EQ(frames[1].timeMs, frames[0].timeMs + 7);
  EXPECT_FALSE(frames[0].transfer) << "the whole packet was in the lookahead";
  EXPECT_EQ(seen, (std::vector<uint64_t>{46, 1}));
  EXPECT_EQ(protocol.receiveCompletes(), 2u);
}

TEST_F(NdisProtocolTest, AShortLookaheadMakesTheProtocolTransferTheRest) {
  Bytes payload = {10, 11, 12, 13, 14, 15, 16, 17};
  Indicate(header, payload, 3);
  ASSERT_EQ(protocol.frames().size(), 1u);
  ReceivedFrame frame = protocol.frames()[0];
  ASSERT_TRUE(frame.transfer);
  EXPECT_EQ(frame.transfer->offset, 3u);
  EXPECT_EQ(frame.bytesTransferred, 5u);
  Bytes whole = header;
  whole.insert(whole.end(), payload.begin(), payload.end());
  EXPECT_EQ(frame.Bytes(), whole);
}

TEST_F(NdisProtocolTest, APolicyMayAskForAnyTransferAndSeesWhatCameBack) {
  protocol.transferPolicy = [](const ReceivedFrame&) {
    return TransferRequest{2, 10, {BufferSpec{Bytes(10, 0xEE), false}}};
  };
  Indicate(header, Bytes{1, 2, 3, 4, 5, 6}, 6);
  ReceivedFrame frame = protocol.frames().at(0);
  EXPECT_EQ(frame.bytesTransferred, 4u);
  EXPECT_EQ(frame.transferPacket, (Bytes{3, 4, 5, 6, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(NdisProtocolTest, CatchesMalformedIndicationsAndOnesBelowDispatchLevel) {
  Indicate(Bytes(13, 0), Bytes(10, 0), 10);
  EXPECT_TRUE(TookViolation("ndis", "a header of 13 bytes"));
  Indicate(header, Bytes(10, 0), 11);
  EXPECT_TRUE(TookViolation("ndis", "a lookahead longer than the packet"));
  Indicate(header, Bytes(10, 0), 10, PASSIVE_LEVEL);
  EXPECT_TRUE(TookViolation("irql", "receive indications are made at DISPATCH_LEVEL"));
  EXPECT_EQ(protocol.frames().size(), 1u) << "only the well-formed one reached the protocol";
}

TEST_F(NdisProtocolTest, CatchesATransferThatPends) {
  fault = Fault::TransferPends;
  Indicate(header, Bytes(10, 0), 4);
  EXPECT_TRUE(TookViolation("ndis", "MiniportTransferData pended"));
}

TEST_F(NdisProtocolTest, ACompletionRunsTheProtocolsHandlerAndMayNotBePending) {
  NDIS_PACKET first = {}, second = {};
  std::vector<NDIS_STATUS> completed;
  protocol.onSendComplete = [&](PNDIS_PACKET, NDIS_STATUS status) { completed.push_back(status); };
  miniport.SendPackets({&first, &second});
  NdisMSendComplete(miniport.handle(), &first, NDIS_STATUS_RESOURCES);
  NdisMSendComplete(miniport.handle(), &second, NDIS_STATUS_PENDING);
  EXPECT_TRUE(TookViolation("ndis", "NdisMSendComplete with NDIS_STATUS_PENDING"));
  EXPECT_EQ(completed, (std::vector<NDIS_STATUS>{NDIS_STATUS_RESOURCES, NDIS_STATUS_PENDING}));
}

VOID NTAPI CompleteSet(PKDPC, PVOID context, PVOID, PVOID) {
  NdisMSetInformationComplete(static_cast<emu::ndis::Miniport*>(context)->handle(), NDIS_STATUS_SUCCESS);
}

// NDIS holds a request back while a set pends: the query goes to the miniport only after
// the completion, which comes 30 ms later.
TEST_F(NdisProtocolTest, ARequestWaitsForAPendedSetToComplete) {
  TimedCall completion(CompleteSet, &miniport);
  EXPECT_EQ(Set(), NDIS_STATUS_PENDING);
  EXPECT_TRUE(miniport.setPending());
  uint64_t start = kernel().NowMs();
  completion.ArmMs(30);
  Query();
  EXPECT_EQ(kernel().NowMs(), start + 30);
  EXPECT_FALSE(miniport.setPending());
  EXPECT_EQ(miniport.setCompletions(), std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
  setStatus = NDIS_STATUS_SUCCESS;
  EXPECT_EQ(Set(), NDIS_STATUS_SUCCESS) << "a set that does not pend frees the adapter at once";
  Query();
}

TEST_F(NdisProtocolTest, CatchesASetThatNeverCompletesWhenTheNextRequestComes) {
  EXPECT_EQ(Set(), NDIS_STATUS_PENDING);
  std::vector<UCHAR> buffer(4);
  ULONG written, needed;
  EXPECT_EQ(miniport.QueryInformation(OID_GEN_LINK_SPEED, buffer, &written, &needed), NDIS_STATUS_FAILURE);
  EXPECT_TRUE(TookViolation("ndis", "the set that pended was not completed within 60 s"));
  EXPECT_TRUE(miniport.resetPending()) << "NDIS's hang check reset the adapter meanwhile";
  NdisMResetComplete(miniport.handle(), NDIS_STATUS_SUCCESS, FALSE);
  NdisMSetInformationComplete(miniport.handle(), NDIS_STATUS_SUCCESS);
}

TEST_F(NdisProtocolTest, CatchesSetCompletionsThatAreNotFinalOrNotForAPendedSet) {
  EXPECT_EQ(Set(), NDIS_STATUS_PENDING);
  NdisMSetInformationComplete(miniport.handle(), NDIS_STATUS_PENDING);
  EXPECT_TRUE(TookViolation("ndis", "NdisMSetInformationComplete with NDIS_STATUS_PENDING"));
  fault = Fault::SetAnsweredAndCompleted;
  setStatus = NDIS_STATUS_SUCCESS;
  EXPECT_EQ(Set(), NDIS_STATUS_SUCCESS);
  EXPECT_TRUE(TookViolation("ndis", "returned a status and also called NdisMSetInformationComplete"));
  Query();  // the adapter takes the next request
}

}  // namespace
