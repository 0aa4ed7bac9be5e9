// Traffic through the adapter on the fake device: thousands of frames each way, of every size
// the path carries and in packets of every layout, arrive whole and in order, and the data
// path allocates nothing.
#include <deque>

#include "StartedAdapterTest.h"

namespace {

using emu::ndis::BufferSpec;

class TrafficTest : public StartedAdapterTest {
 protected:
  // A packet of 'frame', cut into buffers in one of four layouts: whole; two parts; parts
  // around an empty buffer; parts with one the protocol did not map.
  static Packet Layout(const Bytes& frame, int layout) {
    size_t cut = frame.size() / 3;
    Bytes head(frame.begin(), frame.begin() + cut), rest(frame.begin() + cut, frame.end());
    switch (layout % 4) {
      case 0: return NewPacket(frame);
      case 1: return NewPacket({{head}, {rest}});
      case 2: return NewPacket({{head}, {}, {rest}, {{}, false}});
      default: return NewPacket({{head, false}, {rest}});
    }
  }
};

TEST_F(TrafficTest, FiveThousandFramesEachWayArriveInOrderWithoutAnAllocation) {
  constexpr int kFrames = 5000;
  std::deque<Bytes> expectedReceived;
  uint64_t receivedInOrder = 0;
  protocol.recordFrames = false;
  protocol.onFrame = [&](const emu::ndis::ReceivedFrame& frame) {
    if (!expectedReceived.empty() && frame.Bytes() == expectedReceived.front()) ++receivedInOrder;
    expectedReceived.pop_front();
  };
  uint64_t allocations = kernel().pool().AllocationCount();
  size_t sentInOrder = 0;
  for (int i = 0; i < kFrames; i += 2) {
    Bytes first = Pattern(14 + (i * 37) % 1522, static_cast<UCHAR>(i));
    Bytes second = Pattern(14 + (i * 91 + 700) % 1522, static_cast<UCHAR>(i + 1));
    Packet a = Layout(first, i), b = Layout(second, i + 1);
    miniport.SendPackets({a->packet(), b->packet()});
    sentInOrder += device->submittedFrames == std::vector<Bytes>{first, second};
    device->submittedFrames.clear();
    device->CompleteWrites();
    for (int j = 0; j < 2; ++j) {
      expectedReceived.push_back(Pattern(15 + ((i + j) * 53) % 1500, static_cast<UCHAR>(i + j + 100)));
      ASSERT_TRUE(device->DeliverFrame(expectedReceived.back()));
    }
    kernel().RunPending();
  }
  EXPECT_EQ(kernel().pool().AllocationCount(), allocations) << "the data path allocated";
  EXPECT_EQ(sentInOrder, static_cast<size_t>(kFrames / 2));
  EXPECT_EQ(receivedInOrder, static_cast<uint64_t>(kFrames));
  EXPECT_EQ(miniport.sendCompletions().size(), static_cast<size_t>(kFrames));
  EXPECT_EQ(adapter->XmitOk, static_cast<ULONG>(kFrames));
  EXPECT_EQ(adapter->RcvOk, static_cast<ULONG>(kFrames));
  EXPECT_EQ(adapter->XmitError + adapter->RcvError, 0u);
}

}  // namespace
