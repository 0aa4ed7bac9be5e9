// The receive path on the fake device: frames are queued under the adapter lock, indicated
// whole from the receive timer, and their buffers go back to be read into again.
#include "StartedAdapterTest.h"
#include "adapter/PacketBuffers.h"
#include "transfer/TransferBuffer.h"

namespace {

using Bytes = std::vector<UCHAR>;
using emu::ndis::BufferSpec;
using emu::ndis::ReceivedFrame;
using emu::ndis::TransferRequest;

class ReceiveTest : public StartedAdapterTest {
 protected:
  void Deliver(const std::vector<Bytes>& frames) {
    for (const Bytes& frame : frames) ASSERT_TRUE(device->DeliverFrame(frame));
  }
  // The frames indicated next get these transfers, in order: offset and byte count, into a
  // buffer of 0xEE bytes.
  void TransferInOrder(std::vector<std::pair<UINT, UINT>> requests) {
    auto next = std::make_shared<size_t>(0);
    protocol.transferPolicy = [requests, next](const ReceivedFrame&) -> std::optional<TransferRequest> {
      if (*next == requests.size()) return std::nullopt;
      auto [offset, bytes] = requests[(*next)++];
      return TransferRequest{offset, bytes, {BufferSpec{Bytes(bytes, 0xEE)}}};
    };
  }
  static Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
  }
};

TEST_F(ReceiveTest, FramesAreIndicatedWholeFromTheTimerAndRuntsOnlyCounted) {
  Bytes runt = Pattern(14, 1), smallest = Pattern(15, 2), minimum = Pattern(60, 3);
  Deliver({runt, smallest, minimum, {}});
  EXPECT_TRUE(protocol.frames().empty()) << "nothing is indicated from the device's context";
  kernel().RunPending();
  auto frames = protocol.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].header, Slice(smallest, 0, 14));
  EXPECT_EQ(frames[0].lookahead, Slice(smallest, 14, 1));
  EXPECT_EQ(frames[0].packetSize, 1u);
  EXPECT_EQ(frames[1].Bytes(), minimum);
  EXPECT_EQ(frames[1].lookahead.size(), 46u);
  EXPECT_EQ(frames[1].packetSize, 46u);
  EXPECT_FALSE(frames[1].transfer) << "the lookahead is the whole frame";
  EXPECT_EQ(protocol.receiveCompletes(), 2u) << "one receive-complete per frame";
  EXPECT_EQ(adapter->RcvOk, 2u);
  EXPECT_EQ(adapter->RcvError, 2u);
  EXPECT_EQ(adapter->RcvNoBuffer, 0u);
  EXPECT_EQ(device->receiveResumes, 1u) << "one drain run took all four";
  EXPECT_EQ(device->readsOutstanding(), 4u) << "every buffer is out as a read again";
}

TEST_F(ReceiveTest, FramesArrivingDuringAnIndicationAreDrainedByTheSameRun) {
  Bytes first = Pattern(100, 1), second = Pattern(200, 2), third = Pattern(300, 3);
  protocol.onFrame = [&](const ReceivedFrame& frame) {
    if (frame.packetSize == 86) {
      ASSERT_TRUE(device->DeliverFrame(third));
    }
  };
  Deliver({first, second});
  kernel().RunPending();
  auto frames = protocol.frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].Bytes(), first);
  EXPECT_EQ(frames[1].Bytes(), second);
  EXPECT_EQ(frames[2].Bytes(), third);
}

// The next frame arrives while the first is being indicated and re-arms the receive timer,
// whose routine then runs on a second processor before the protocol has taken the first
// frame. That run must leave the queue to the one indicating: frames reach the protocol in
// the order they arrived, and each once.
TEST_F(ReceiveTest, ATimerRunOnAnotherProcessorDuringAnIndicationKeepsTheFramesInOrder) {
  Bytes first = Pattern(100, 1), second = Pattern(200, 2);
  size_t overlaps = 0;
  protocol.transferPolicy = [&](const ReceivedFrame& frame) -> std::optional<TransferRequest> {
    if (frame.packetSize == 86 && overlaps++ == 0) {
      EXPECT_TRUE(device->DeliverFrame(second));
      // The second processor: the same timer routine, while this indication is under way.
      NDIS_MINIPORT_TIMER& timer = adapter->ReceiveTimer;
      timer.MiniportTimerFunction(nullptr, timer.MiniportTimerContext, nullptr, nullptr);
    }
    return std::nullopt;
  };
  Deliver({first});
  kernel().RunPending();
  auto frames = protocol.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].Bytes(), first);
  EXPECT_EQ(frames[1].Bytes(), second);
  EXPECT_EQ(overlaps, 1u);
  EXPECT_EQ(adapter->RcvOk, 2u);
  EXPECT_EQ(device->readsOutstanding(), 4u) << "every buffer is out as a read again";
}

TEST_F(ReceiveTest, WithReceivingDisabledFramesWaitAndTheStopGivesThemBack) {
  {
    SpinLockGuard guard(adapter->Lock);
    adapter->ReceiveEnabled = FALSE;
  }
  Deliver({Pattern(60, 1), Pattern(60, 2)});
  kernel().AdvanceTimeMs(1000);
  EXPECT_TRUE(protocol.frames().empty());
  EXPECT_EQ(device->receiveResumes, 0u);
  TransferBuffer* head = adapter->ReceiveQueue.Next(nullptr);
  std::vector<TransferBuffer*> queued = {head, adapter->ReceiveQueue.Next(head)};
  miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  EXPECT_EQ(device->releasedReceiveBuffers, queued) << "head first";
  EXPECT_EQ(device->receiveBuffersOutAtStop, 0u) << "given back before the device stops";
  EXPECT_TRUE(adapter->ReceiveQueue.IsEmpty());
  miniport.Halt();
  EXPECT_TRUE(protocol.frames().empty());
}

TEST_F(ReceiveTest, TransferDataCopiesWithinTheLookaheadBound) {
  Bytes frame = Pattern(1514, 9);
  TransferInOrder({{1000, 500}, {1000, 501}});
  Deliver({frame, frame});
  kernel().RunPending();
  auto frames = protocol.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].transferStatus, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(frames[0].bytesTransferred, 500u);
  EXPECT_EQ(frames[0].transferPacket, Slice(frame, 14 + 1000, 500));
  EXPECT_EQ(frames[1].transferStatus, NDIS_STATUS_FAILURE) << "1000 + 501 passes a lookahead of 1500";
  EXPECT_EQ(frames[1].bytesTransferred, 0u);
  EXPECT_EQ(frames[1].transferPacket, Bytes(501, 0xEE));
}

TEST_F(ReceiveTest, TransferDataWithAnOffsetThatWrapsAroundFails) {
  TransferInOrder({{0xFFFFFFF0u, 0x20}});
  Deliver({Pattern(60, 1)});
  kernel().RunPending();
  ASSERT_EQ(protocol.frames().size(), 1u);
  EXPECT_EQ(protocol.frames()[0].transferStatus, NDIS_STATUS_FAILURE);
}

// Behind a short frame the buffer still holds an earlier, longer one: none of it may leak out.
TEST_F(ReceiveTest, TransferDataEndsWithTheFrameNotWithTheBuffer) {
  Deliver({Pattern(1514, 1), Pattern(1514, 2), Pattern(1514, 3), Pattern(1514, 4)});
  kernel().RunPending();  // every receive buffer now holds a long frame
  protocol.TakeFrames();
  Bytes shortFrame = Pattern(60, 5);
  TransferInOrder({{40, 100}, {46, 10}});
  Deliver({shortFrame, shortFrame});
  kernel().RunPending();
  auto frames = protocol.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].transferStatus, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(frames[0].bytesTransferred, 6u) << "the rest of the frame from the offset";
  Bytes expected = Slice(shortFrame, 54, 6);
  expected.resize(100, 0xEE);  // the rest of the packet is left as it was
  EXPECT_EQ(frames[0].transferPacket, expected);
  EXPECT_EQ(frames[0].Bytes(), shortFrame);
  EXPECT_EQ(frames[1].transferStatus, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(frames[1].bytesTransferred, 0u);
  EXPECT_EQ(frames[1].transferPacket, Bytes(10, 0xEE));
}

TEST_F(ReceiveTest, TransferDataFillsPacketsOfSeveralBuffersSkippingEmptyOnes) {
  Bytes frame = Pattern(100, 7);
  protocol.transferPolicy = [](const ReceivedFrame&) {
    return TransferRequest{10, 30, {BufferSpec{Bytes(10, 0)}, BufferSpec{}, BufferSpec{Bytes(25, 0), false}}};
  };
  Deliver({frame});
  kernel().RunPending();
  ASSERT_EQ(protocol.frames().size(), 1u);
  ReceivedFrame received = protocol.frames()[0];
  EXPECT_EQ(received.bytesTransferred, 30u);
  Bytes expected = Slice(frame, 14 + 10, 30);
  expected.resize(35, 0);
  EXPECT_EQ(received.transferPacket, expected);
}

class CopyToPacketTest : public EmuTest {
 protected:
  Bytes source = Pattern(40, 3);
};

TEST_F(CopyToPacketTest, AnOffsetSkipsWholeBuffersAndEmptyOnesCountForNothing) {
  emu::ndis::ProtocolPacket packet({{Bytes(10, 0xAA)}, {}, {Bytes(20, 0xBB), false}});
  EXPECT_EQ(CopyToPacket(packet.packet(), 15, source.data(), 20), 15u);
  Bytes expected(10, 0xAA);
  expected.resize(15, 0xBB);
  expected.insert(expected.end(), source.begin(), source.begin() + 15);
  EXPECT_EQ(packet.Contents(), expected);
  EXPECT_EQ(CopyToPacket(packet.packet(), 0, source.data(), 0), 0u);
  EXPECT_EQ(packet.Contents(), expected);
}

TEST_F(CopyToPacketTest, ABufferThatCannotBeMappedEndsTheCopy) {
  emu::ndis::ProtocolPacket packet({{Bytes(10, 0xAA)}, {Bytes(10, 0xBB), false}, {Bytes(10, 0xCC)}});
  kernel().faults().FailNth(emu::FaultPoint::Mapping, 1);
  EXPECT_EQ(CopyToPacket(packet.packet(), 5, source.data(), 25), 5u);
  Bytes expected(5, 0xAA);
  expected.insert(expected.end(), source.begin(), source.begin() + 5);
  expected.resize(20, 0xBB);
  expected.resize(30, 0xCC);
  EXPECT_EQ(packet.Contents(), expected) << "no byte lands in another's place";
}

// Frames that arrive between OpenPipes and the end of the bring-up are queued without the
// receive timer. When they take every receive buffer and the link is reported meanwhile,
// nothing else would ever arm it, and no read would be out again.
class ReceiveBeforeStartTest : public NdisTest {
 protected:
  void SetUp() override { LoadDriver(); }
  emu::ndis::Miniport& miniport = library().AddMiniport();
};

TEST_F(ReceiveBeforeStartTest, FramesThatTakeEveryBufferBeforeReceivingIsEnabledAreIndicated) {
  FakeNetworkDevice* device = nullptr;
  Adapter* adapter = StartAdapter(miniport, &device, [](FakeNetworkDevice& d) {
    d.onOpen = [&d] {
      for (UCHAR i = 0; i < 4; ++i) ASSERT_TRUE(d.DeliverFrame(Pattern(60, i)));
      KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
      d.started.sink->OnLinkStateChanged(TRUE);
      KfLowerIrql(irql);
    };
  });
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(device->readsOutstanding(), 0u);
  kernel().RunPending();
  auto frames = miniport.protocol().frames();
  ASSERT_EQ(frames.size(), 4u);
  for (UCHAR i = 0; i < 4; ++i) EXPECT_EQ(frames[i].Bytes(), Pattern(60, i));
  EXPECT_EQ(device->readsOutstanding(), 4u);
  EXPECT_TRUE(device->DeliverFrame(Pattern(70, 9)));
  kernel().RunPending();
  EXPECT_EQ(miniport.protocol().frames().size(), 5u);
  miniport.Halt();
}

// A device that sends as soon as its interface is up: frames arrive during OpenPipes and after
// receiving is enabled, and another processor runs the receive timer before initialization has
// finished. NDIS would drop what it heard before MiniportInitialize returns: the frames wait
// for it, then all are indicated, in order.
TEST_F(ReceiveBeforeStartTest, FramesSentDuringBringUpWaitForInitializeToReturn) {
  FakeNetworkDevice* device = nullptr;
  beforeInitializeEnds = [&] {
    ASSERT_TRUE(device->DeliverFrame(Pattern(80, 3)));
    kernel().RunPending();
  };
  Adapter* adapter = StartAdapter(miniport, &device, [&device](FakeNetworkDevice& d) {
    device = &d;
    d.onOpen = [&d] {
      for (UCHAR i = 1; i < 3; ++i) ASSERT_TRUE(d.DeliverFrame(Pattern(60, i)));
    };
  });
  ASSERT_NE(adapter, nullptr);
  EXPECT_FALSE(TookViolation("ndis", "before MiniportInitialize returned"));
  EXPECT_TRUE(miniport.protocol().frames().empty());
  kernel().RunPending();
  auto frames = miniport.protocol().frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].Bytes(), Pattern(60, 1));
  EXPECT_EQ(frames[1].Bytes(), Pattern(60, 2));
  EXPECT_EQ(frames[2].Bytes(), Pattern(80, 3));
  EXPECT_EQ(device->readsOutstanding(), 4u);
  miniport.Halt();
}

// A frame whose drain is due when the adapter stops, while closing the pipes takes time: the
// stop gives its buffer back, and no indication follows the start of the stop.
class StopWithAFrameDueTest : public ReceiveTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StopWithAFrameDueTest, TheFrameIsGivenBackNotIndicated) {
  bool surpriseRemoval = GetParam();
  device->closeDelayMs = 5;
  Deliver({Pattern(60, 1)});
  if (surpriseRemoval) miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  else miniport.Halt();
  EXPECT_FALSE(TookViolation("ndis", "after MiniportHalt began"));
  EXPECT_TRUE(protocol.frames().empty());
  if (!surpriseRemoval) return;
  EXPECT_EQ(device->releasedReceiveBuffers.size(), 1u);
  EXPECT_EQ(device->receiveBuffersOutAtStop, 0u);
  miniport.Halt();
}

INSTANTIATE_TEST_SUITE_P(HaltOrSurpriseRemoval, StopWithAFrameDueTest, ::testing::Bool());

}  // namespace
