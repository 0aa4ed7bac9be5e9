// The transmit path on the fake device: packets become frames in device send buffers, in
// order, and are completed once each as soon as their buffer is submitted.
#include "StartedAdapterTest.h"

namespace {

using emu::ndis::BufferSpec;

class TransmitTest : public StartedAdapterTest {
 protected:
  std::vector<emu::ndis::SendCompletion> Completions() { return miniport.sendCompletions(); }
};

TEST_F(TransmitTest, APacketOfSeveralBuffersGoesOutAsOneFrameOfTheNonEmptyOnes) {
  Bytes header = Pattern(14, 1), body = Pattern(300, 2), tail = Pattern(46, 3);
  // The unmapped buffers have no system address: the adapter must map them itself.
  Packet packet = NewPacket({{header}, {{}, true}, {body, false}, {{}, false}, {tail, true}});
  miniport.SendPackets({packet->packet()});
  Bytes frame = header;
  frame.insert(frame.end(), body.begin(), body.end());
  frame.insert(frame.end(), tail.begin(), tail.end());
  ASSERT_EQ(device->submittedFrames.size(), 1u);
  EXPECT_EQ(device->submittedFrames[0], frame);
  ASSERT_EQ(Completions().size(), 1u);
  EXPECT_EQ(Completions()[0].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter->XmitOk, 1u);
  EXPECT_EQ(device->endSendBatches, 1u);
  EXPECT_EQ(device->writesInFlight(), 1u) << "completed without waiting for the write";
}

TEST_F(TransmitTest, ABatchGoesOutInOrderSkippingNullEntriesWithOneEndOfBatch) {
  Packet first = NewPacket(Pattern(60, 10)), second = NewPacket(Pattern(61, 20));
  miniport.SendPackets({first->packet(), nullptr, second->packet()});
  EXPECT_EQ(device->submittedFrames, (std::vector<Bytes>{Pattern(60, 10), Pattern(61, 20)}));
  auto completions = Completions();
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[0].packet, first->packet());
  EXPECT_EQ(completions[1].packet, second->packet());
  EXPECT_EQ(device->endSendBatches, 1u);
}

// The last byte of a 1536-byte buffer is never used: 1535 bytes is the longest frame.
TEST_F(TransmitTest, A1536BytePacketIsDroppedYetCountedAndA1535ByteOneIsSent) {
  Packet tooLong = NewPacket({{Pattern(1000, 1)}, {Pattern(536, 2), false}});
  Packet longest = NewPacket(Pattern(1535, 3));
  miniport.SendPackets({tooLong->packet(), longest->packet()});
  EXPECT_EQ(device->submittedFrames, std::vector<Bytes>{Pattern(1535, 3)});
  EXPECT_EQ(device->sendBuffersReleased, 1u);
  auto completions = Completions();
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[0].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter->XmitOk, 2u);
  EXPECT_EQ(adapter->XmitError, 0u);
}

// One buffer of the four always stays with the device; the fourth packet waits for a write.
TEST_F(TransmitTest, PacketsWaitForAFreeBufferAndGoOutOnTransmitReady) {
  std::vector<Packet> sent;
  std::vector<PNDIS_PACKET> batch;
  for (UCHAR i = 0; i < 5; ++i) {
    sent.push_back(NewPacket(Pattern(100 + i, i)));
    batch.push_back(sent.back()->packet());
  }
  miniport.SendPackets(batch);
  EXPECT_EQ(device->submittedFrames.size(), 3u);
  EXPECT_EQ(Completions().size(), 3u) << "waiting packets are not completed";
  EXPECT_EQ(device->endSendBatches, 0u) << "the pump stopped for want of a buffer";
  EXPECT_EQ(device->CompleteWrites(1), 1u);
  EXPECT_EQ(device->submittedFrames.size(), 4u);
  EXPECT_EQ(device->endSendBatches, 0u);
  device->CompleteWrites(1);
  ASSERT_EQ(device->submittedFrames.size(), 5u);
  for (UCHAR i = 0; i < 5; ++i) EXPECT_EQ(device->submittedFrames[i], Pattern(100 + i, i)) << "in queue order";
  EXPECT_EQ(Completions().size(), 5u);
  EXPECT_EQ(device->endSendBatches, 1u);
  device->CompleteWrites();
  EXPECT_EQ(device->endSendBatches, 4u) << "each pump run that finds the queue empty ends a batch";
}

TEST_F(TransmitTest, WhileTheDeviceCannotSendPacketsWaitUntilItSaysItCan) {
  device->sendRefused = true;
  Packet packet = NewPacket(Pattern(64, 5));
  miniport.SendPackets({packet->packet()});
  EXPECT_TRUE(Completions().empty());
  device->sendRefused = false;
  adapter->OnTransmitReady();  // as when the bulk-out pipe starts again
  EXPECT_EQ(device->submittedFrames, std::vector<Bytes>{Pattern(64, 5)});
  EXPECT_EQ(Completions().size(), 1u);
}

TEST_F(TransmitTest, WithSendingDisabledABatchCompletesAtOnceUnsentAndUncounted) {
  {
    SpinLockGuard guard(adapter->Lock);
    adapter->SendEnabled = FALSE;
  }
  Packet first = NewPacket(Pattern(60, 1)), second = NewPacket(Pattern(60, 2));
  miniport.SendPackets({first->packet(), second->packet()});
  EXPECT_EQ(Completions().size(), 2u);
  EXPECT_TRUE(device->submittedFrames.empty());
  EXPECT_EQ(adapter->XmitOk, 0u);
  adapter->OnTransmitReady();
  EXPECT_EQ(device->endSendBatches, 0u);
}

// Sending stops while Lock is dropped for a completion: the packets the pump has yet to take
// are completed without being sent, and counted.
TEST_F(TransmitTest, SendingDisabledDuringACompletionSendsNothingMore) {
  protocol.onSendComplete = [this](PNDIS_PACKET, NDIS_STATUS) {
    SpinLockGuard guard(adapter->Lock);
    adapter->SendEnabled = FALSE;
  };
  std::vector<Packet> sent;
  for (UCHAR i = 0; i < 3; ++i) sent.push_back(NewPacket(Pattern(70, i)));
  miniport.SendPackets({sent[0]->packet(), sent[1]->packet(), sent[2]->packet()});
  protocol.onSendComplete = nullptr;
  EXPECT_EQ(device->submittedFrames.size(), 1u);
  auto completions = Completions();
  ASSERT_EQ(completions.size(), 3u);
  for (const auto& completion : completions) EXPECT_EQ(completion.status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter->XmitOk, 3u);
  EXPECT_EQ(device->sendBuffersReleased, 2u);
  EXPECT_EQ(device->freeSendBuffers(), 3u) << "only the submitted frame's buffer is out";
}

// A protocol may send from its completion handler: the lock must be dropped around it.
TEST_F(TransmitTest, APacketSentFromACompletionGoesOutAfterTheOneCompleted) {
  Packet first = NewPacket(Pattern(80, 1)), second = NewPacket(Pattern(81, 2));
  protocol.onSendComplete = [&](PNDIS_PACKET packet, NDIS_STATUS) {
    if (packet == first->packet()) miniport.SendPackets({second->packet()});
  };
  miniport.SendPackets({first->packet()});
  protocol.onSendComplete = nullptr;
  EXPECT_EQ(device->submittedFrames, (std::vector<Bytes>{Pattern(80, 1), Pattern(81, 2)}));
  EXPECT_EQ(Completions().size(), 2u);
}

// A frame with a buffer left out would reach the wire corrupt: the packet fails whole.
TEST_F(TransmitTest, APacketWithABufferThatCannotBeMappedFailsWholeAndTheNextGoesOut) {
  Packet broken = NewPacket({{Pattern(20, 1)}, {Pattern(30, 2), false}, {Pattern(20, 3)}});
  Packet whole = NewPacket({{Pattern(20, 4)}, {Pattern(30, 5), false}});
  kernel().faults().FailNth(emu::FaultPoint::Mapping, 1);
  miniport.SendPackets({broken->packet(), whole->packet()});
  Bytes frame = Pattern(20, 4);
  Bytes rest = Pattern(30, 5);
  frame.insert(frame.end(), rest.begin(), rest.end());
  EXPECT_EQ(device->submittedFrames, std::vector<Bytes>{frame});
  auto completions = Completions();
  ASSERT_EQ(completions.size(), 2u);
  EXPECT_EQ(completions[0].status, NDIS_STATUS_RESOURCES);
  EXPECT_EQ(completions[1].status, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(adapter->XmitError, 1u);
  EXPECT_EQ(adapter->XmitOk, 1u);
  EXPECT_EQ(device->sendBuffersReleased, 1u);
}

}  // namespace
