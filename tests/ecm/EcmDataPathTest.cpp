// Frames through the ECM device: what the bus sees of each sent frame (short-packet rule,
// one-byte termination), what the adapter is handed for each received one, and the pipes'
// opening and closing.
#include "EcmTest.h"
#include "PreemptOnce.h"
#include "TimedCall.h"

namespace {

using namespace ecm_descriptors;
using emu::usb::ControlFault;
using emu::usb::TransferResult;
using emu::usb::When;

emu::devices::DeviceProfile FullSpeedProfile() {
  return EcmProfile(EcmConfiguration(Join({HeaderAndUnion(), EthernetNetworking()}), 64));
}

class EcmDataPathTest : public EcmTest {
 protected:
  std::vector<emu::devices::ReceivedFrame> DeviceFrames() { return model().DataOut().Frames(); }
  uint64_t WaitingId(UCHAR endpoint, size_t position) { return bus().Transfers(endpoint).at(position).id; }
};

TEST_F(EcmDataPathTest, OneByteTerminationEndsAFrameOfWholePacketsWithAZeroByte) {
  Plug(FullSpeedProfile());
  settings.OneByteTermination = 1;
  Open();
  bus().HoldEndpoint(kDataOutEndpoint, true);
  ASSERT_TRUE(Send(TestFrame(128, 1)));
  ASSERT_TRUE(Send(TestFrame(127, 2)));
  EXPECT_EQ(WaitingLengths(kDataOutEndpoint), (std::vector<ULONG>{129, 127})) << "no zero-length transfer";
  EXPECT_EQ(bus().Transfers(kDataOutEndpoint)[0].data.back(), 0x00);
  bus().HoldEndpoint(kDataOutEndpoint, false);
  kernel().RunPending();
  std::vector<emu::devices::ReceivedFrame> frames = DeviceFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].bytes, TestFrame(128, 1));
  EXPECT_TRUE(frames[0].terminationByte);
  EXPECT_EQ(frames[1].bytes, TestFrame(127, 2));
  EXPECT_FALSE(frames[0].merged() || frames[1].merged());
}

TEST_F(EcmDataPathTest, WithoutOneByteTerminationAWholePacketFrameIsFollowedByAZeroLengthTransfer) {
  Open();
  bus().HoldEndpoint(kDataOutEndpoint, true);
  ASSERT_TRUE(Send(TestFrame(512, 3)));
  EXPECT_EQ(WaitingLengths(kDataOutEndpoint), (std::vector<ULONG>{512, 0}));
  bus().HoldEndpoint(kDataOutEndpoint, false);
  kernel().RunPending();
  ASSERT_EQ(DeviceFrames().size(), 1u);
  EXPECT_EQ(DeviceFrames()[0].bytes, TestFrame(512, 3));
  EXPECT_FALSE(DeviceFrames()[0].merged());
}

TEST_F(EcmDataPathTest, BufferFilledToCapacityHasNoRoomForTheByteAndGetsAZeroLengthTransfer) {
  settings.OneByteTermination = 1;
  Open();
  bus().HoldEndpoint(kDataOutEndpoint, true);
  ASSERT_TRUE(Send(TestFrame(kFrameBufferSize, 4)));
  EXPECT_EQ(WaitingLengths(kDataOutEndpoint), (std::vector<ULONG>{1536, 0}));
}

TEST_F(EcmDataPathTest, SendBuffersOnlyWhileOpenAndNeverTheLastFreeOne) {
  settings.TxBuffers = 2;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  SpinLockGuard guard(adapterLock);
  EXPECT_FALSE(device->CanSend());
  EXPECT_EQ(device->GetSendBuffer(), nullptr);
  guard.Unlock();
  ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  guard.Relock();
  EXPECT_TRUE(device->CanSend());
  TransferBuffer* buffer = device->GetSendBuffer();
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->cursorLength, 0u);
  EXPECT_EQ(buffer->cursorCapacity, 1536u);
  EXPECT_EQ(buffer->cursorPosition, buffer->cursorStart);
  EXPECT_EQ(buffer->length, 0u);
  EXPECT_EQ(device->GetSendBuffer(), nullptr) << "one free buffer is kept for a zero-length transfer";
  device->ReleaseSendBuffer(buffer);
  EXPECT_EQ(device->BulkOutPipe.pool.freeCount, 2u);
  guard.Unlock();
  device->ClosePipes();
  guard.Relock();
  EXPECT_FALSE(device->CanSend());
  EXPECT_EQ(device->GetSendBuffer(), nullptr);
}

// A successful write (and the pipe's start) runs the adapter's send pump; a failed one does
// not: the pipe repairs itself and announces itself again once restarted.
TEST_F(EcmDataPathTest, OnlySuccessfulWritesAndRestartsRunTheSendPump) {
  Open();
  EXPECT_EQ(sink.transmitReady, 1) << "the start's announcement";
  bus().HoldEndpoint(kDataOutEndpoint, true);
  ASSERT_TRUE(Send(TestFrame(100, 5)));
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kDataOutEndpoint, 0), TransferResult{}, When::Inline));
  EXPECT_EQ(sink.transmitReady, 2);
  ASSERT_TRUE(Send(TestFrame(100, 6)));
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kDataOutEndpoint, 0), TransferResult::Stall(), When::Inline));
  EXPECT_EQ(sink.transmitReady, 2);
  EXPECT_FALSE(Send(TestFrame(100, 7))) << "refused until the pipe is repaired";
  kernel().RunPending();
  EXPECT_EQ(sink.transmitReady, 3);
  EXPECT_EQ(RequestsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(), 1u);
  EXPECT_TRUE(Send(TestFrame(100, 8)));
}

TEST_F(EcmDataPathTest, ReceivedTransfersReachTheAdapterWholeUnderItsLock) {
  Open();
  model().DataIn().Queue(TestFrame(60, 9));
  model().DataIn().Queue(Bytes{});
  model().DataIn().Queue(TestFrame(1514, 10));
  kernel().RunPending();
  ASSERT_EQ(sink.received.size(), 3u);
  EXPECT_EQ(sink.received[0], TestFrame(60, 9));
  EXPECT_TRUE(sink.received[1].empty()) << "an empty transfer is handed over with length 0";
  EXPECT_EQ(sink.received[2], TestFrame(1514, 10));
  EXPECT_TRUE(sink.heldUnderLock);
  for (const RecordingSink::Cursor& cursor : sink.cursors) {
    EXPECT_TRUE(cursor.startsAtData);
    EXPECT_TRUE(cursor.positionAtStart);
    EXPECT_EQ(cursor.capacity, 1536u);
    EXPECT_TRUE(cursor.endAtCapacity);
  }
  EXPECT_EQ(bus().QueuedTransfers(kDataInEndpoint), 1u) << "three of four buffers are with the adapter";

  {
    SpinLockGuard guard(adapterLock);
    for (TransferBuffer* buffer : sink.held) device->ReleaseReceiveBuffer(buffer);
    sink.held.clear();
  }
  EXPECT_EQ(bus().QueuedTransfers(kDataInEndpoint), 1u) << "reads go out again only when resumed";
  ReturnReceived();
  EXPECT_EQ(bus().QueuedTransfers(kDataInEndpoint), 4u);
}

TEST_F(EcmDataPathTest, PipesOpenBulkOutFirstAndAFailureLeavesNoneStarted) {
  settings.SendClearEpHaltOnStart = 1;
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  bus().InjectFault(
      ControlFault::Fail(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, STATUS_INTERNAL_ERROR, USBD_STATUS_STALL_PID)
          .Skip(2)
          .Times(1));
  EXPECT_EQ(device->OpenPipes(), STATUS_INTERNAL_ERROR);
  std::vector<UCHAR> resets;
  for (const emu::usb::BusRequest& request : RequestsOf(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL))
    resets.push_back(request.endpoint);
  EXPECT_EQ(resets, (std::vector<UCHAR>{kDataOutEndpoint, kDataInEndpoint, kNotifyEndpoint}));
  EXPECT_EQ(sink.transmitReady, 1) << "bulk-out was started before the failure";
  EXPECT_FALSE(device->CanSend());
  EXPECT_FALSE(device->BulkInPipe.started);
  EXPECT_FALSE(device->NotificationPipe.started);
  EXPECT_EQ(bus().PendingIrps(), 0u) << "the reads that bulk-in put out were drained";

  EXPECT_EQ(device->OpenPipes(), STATUS_SUCCESS) << "a second try succeeds";
  kernel().RunPending();
  EXPECT_TRUE(device->CanSend());
}

// A filter request is on the wire for 300 ms; a second set (the multicast list) may start a
// second run beside it, which ends first. The close waits for both.
TEST_F(EcmDataPathTest, ClosingWaitsForAFilterRequestOnTheWire) {
  Open();
  for (bool secondSet : {false, true}) {
    SCOPED_TRACE(secondSet ? "a second set meanwhile" : "one set");
    bus().InjectFault(ControlFault::Delay(URB_FUNCTION_CLASS_INTERFACE, 300).Times(1));
    auto setFilter = [this](ULONG filter) {
      SpinLockGuard guard(adapterLock);
      return device->SetPacketFilter(filter);
    };
    ASSERT_TRUE(setFilter(NDIS_PACKET_TYPE_DIRECTED));
    kernel().RunPending();
    if (secondSet) {
      ASSERT_TRUE(setFilter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST));
      kernel().RunPending();
    }
    ASSERT_EQ(model().packetFilterRequests().size(), secondSet ? 3u : 1u) << "sent; the first answer comes late";
    uint64_t before = kernel().NowMs();
    device->ClosePipes();
    EXPECT_EQ(kernel().NowMs() - before, 300u);
    EXPECT_EQ(bus().PendingIrps(), 0u);
    ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  }
}

// A filter set just before a close is dropped with the pipes; the device must not keep an
// older filter than the adapter's, so it goes out once the pipes are open again.
TEST_F(EcmDataPathTest, FilterDroppedByACloseGoesOutWhenThePipesReopen) {
  Open();
  {
    SpinLockGuard guard(adapterLock);
    ASSERT_TRUE(device->SetPacketFilter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST));
  }
  device->ClosePipes();
  kernel().RunPending();
  ASSERT_TRUE(model().packetFilterRequests().empty()) << "dropped before its worker ran";
  ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(model().packetFilterRequests(), std::vector<USHORT>{0x0C});
  device->ClosePipes();
  ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(model().packetFilterRequests().size(), 1u) << "a filter the device has is not sent again";
}

// A read and a write fail just before the close: their repairs, queued already, must not start
// the pipes again behind it, and the pipes must work once reopened.
TEST_F(EcmDataPathTest, RepairsQueuedBeforeTheCloseDoNotStartThePipesAgain) {
  Open();
  bus().HoldEndpoint(kDataOutEndpoint, true);
  ASSERT_TRUE(Send(TestFrame(100, 11)));
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kDataOutEndpoint, 0), TransferResult::Stall(), When::Inline));
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kDataInEndpoint, 0), TransferResult::Stall(), When::Inline));
  ASSERT_TRUE(device->BulkInPipe.recoveryPending && device->BulkOutPipe.recoveryPending);
  device->ClosePipes();
  kernel().AdvanceTimeMs(20000);
  EXPECT_FALSE(device->BulkInPipe.started || device->BulkOutPipe.started);
  EXPECT_EQ(bus().PendingIrps(), 0u);

  bus().HoldEndpoint(kDataOutEndpoint, false);
  ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(bus().QueuedTransfers(kDataInEndpoint), settings.RxBuffers);
  EXPECT_TRUE(Send(TestFrame(100, 12))) << "the write pipe hands out buffers again";
}

// A read fails as the pipes open and queues its repair; then the interrupt pipe fails to
// start. The open reports the failure, and the repair must not start the bulk-in pipe again
// behind it.
TEST_F(EcmDataPathTest, AFailedOpenLeavesNoPipeToARepairQueuedDuringIt) {
  Open();
  device->ClosePipes();
  settings.SendClearEpHaltOnStart = 1;
  bus().ScriptTransfers(kDataInEndpoint, {emu::usb::ScriptedTransfer{TransferResult::Stall(), When::Inline}});
  bus().InjectFault(ControlFault::Fail(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, STATUS_UNSUCCESSFUL,
                                       USBD_STATUS_STALL_PID)
                        .Skip(2)
                        .Times(1));
  EXPECT_FALSE(NT_SUCCESS(device->OpenPipes()));
  EXPECT_EQ(bus().ScriptedLeft(kDataInEndpoint), 0u) << "the staging: a read failed during the open";
  kernel().AdvanceTimeMs(20000);
  EXPECT_FALSE(device->BulkOutPipe.started || device->BulkInPipe.started || device->NotificationPipe.started);
  EXPECT_EQ(bus().PendingIrps(), 0u);
}

// A read on the wire holds up both the bulk-in repair and the close's drain; the repair goes
// first and restarts the pipe while the close waits for it. Right after that wait, before the
// close looks at the pipe again, a read fails and queues the next repair: the close must see
// the pipe is not stopped and stop it once more.
TEST_F(EcmDataPathTest, AReadFailingJustAfterTheCloseWaitedForARepairDoesNotRestartThePipeBehindIt) {
  Open();
  ReadPipe& pipe = device->BulkInPipe;
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kDataInEndpoint, 0), TransferResult::Stall(), When::Inline));
  ASSERT_TRUE(bus().CompleteTransfer(WaitingId(kDataInEndpoint, 0), TransferResult::Data(TestFrame(60, 1)),
                                     When::Dpc, 1000));
  kernel().RunPending();
  ASSERT_TRUE(pipe.recoveryCall.Running()) << "the staging: the repair drains the read on the wire";
  PreemptOnce failAnotherRead(
      kernel(), [&](PKSPIN_LOCK released) { return released == &pipe.recoveryCall.lock && pipe.started; },
      [&] { bus().CompleteTransfer(WaitingId(kDataInEndpoint, 0), TransferResult::Stall(), When::Inline); });
  device->ClosePipes();
  ASSERT_TRUE(failAnotherRead.fired) << "the staging: the repair restarted the pipe while the close waited";
  EXPECT_EQ(bus().PendingIrps(), 0u);
  kernel().AdvanceTimeMs(20000);
  EXPECT_FALSE(pipe.started);
  EXPECT_EQ(bus().PendingIrps(), 0u);
}

// The device refuses every abort and then the deconfiguration: the close gives up on the reads
// it has out, and Stop leaves them on the bus. Once the aborts work again, destruction must
// end the reads with them rather than wait for a device that never answers a read.
TEST_F(EcmDataPathTest, DestructionKeepsAbortingReadsThatAStopWhichFailedToDeconfigureLeftOnTheBus) {
  Open();
  bus().InjectFault(ControlFault::Fail(URB_FUNCTION_ABORT_PIPE, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
  device->ClosePipes();
  ASSERT_EQ(bus().QueuedTransfers(kDataInEndpoint), settings.RxBuffers) << "the staging: the reads outlived the close";
  bus().InjectFault(
      ControlFault::Fail(URB_FUNCTION_SELECT_CONFIGURATION, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED));
  device->Stop();
  bus().ClearFaults();
  // Without another abort only the device's removal ends the reads.
  TimedCall unplugLater([](PKDPC, PVOID bus, PVOID, PVOID) { static_cast<emu::usb::Bus*>(bus)->Unplug(); }, &bus());
  unplugLater.ArmMs(600000);
  uint64_t before = kernel().NowMs();
  device->Destroy(kDestroyFreeMemory);
  device = nullptr;
  EXPECT_LE(kernel().NowMs() - before, 1000u);
  EXPECT_EQ(bus().PendingIrps(), 0u);
  kernel().AdvanceTimeMs(600000);
}

}  // namespace
