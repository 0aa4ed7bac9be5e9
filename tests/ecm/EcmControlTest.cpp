// Requests outside the data path: the packet filter as the device receives it, and the power
// transitions, alone and when the adapter's stop arrives while one runs.
#include "EcmTest.h"
#include "TimedCall.h"

namespace {

using namespace ecm_descriptors;
using emu::usb::ControlFault;

class EcmControlTest : public EcmTest {
 protected:
  BOOLEAN SetFilter(ULONG ndisFilter) {
    SpinLockGuard guard(adapterLock);
    return device->SetPacketFilter(ndisFilter);
  }
  BOOLEAN PowerDown() {
    SpinLockGuard guard(adapterLock);
    return device->PowerDown();
  }
  BOOLEAN PowerUp() {
    SpinLockGuard guard(adapterLock);
    return device->PowerUp();
  }
  size_t Transfers() { return RequestsOf(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size(); }
  bool AnyPipeStarted() {
    return device->BulkOutPipe.started || device->BulkInPipe.started || device->NotificationPipe.started;
  }
  // As a power-down leaves the pipes, and as a power-up does.
  void ExpectPipesClosed() {
    EXPECT_FALSE(AnyPipeStarted());
    EXPECT_EQ(bus().PendingIrps(), 0u);
  }
  void ExpectPipesOpen() {
    EXPECT_TRUE(device->CanSend());
    EXPECT_EQ(bus().QueuedTransfers(kDataInEndpoint), settings.RxBuffers);
  }
};

TEST_F(EcmControlTest, NdisFilterBecomesTheEcmBitmapOnTheCommunicationInterface) {
  Open();
  const std::pair<ULONG, USHORT> cases[] = {{0x0B, 0x1C}, {0x24, 0x03}, {0x00, 0x00},
                                            {0x10, 0x00}, {0x2F, 0x1F}, {0x100 | 0x0B, 0x1C}};
  std::vector<USHORT> expected;
  for (const auto& [ndis, ecm] : cases) {
    EXPECT_TRUE(SetFilter(ndis));
    kernel().RunPending();
    expected.push_back(ecm);
    EXPECT_EQ(model().packetFilterRequests(), expected) << std::hex << ndis;
  }
  for (const emu::usb::BusRequest& request : RequestsOf(URB_FUNCTION_CLASS_INTERFACE)) {
    ASSERT_TRUE(request.setup.has_value());
    EXPECT_EQ(request.setup->bmRequestType, 0x21);
    EXPECT_EQ(request.setup->bRequest, 0x43);
    EXPECT_EQ(request.setup->wIndex, 0u);
    EXPECT_EQ(request.setup->wLength, 0u);
  }
}

TEST_F(EcmControlTest, TwoQuickSetsSendOneRequestWithTheLastFilter) {
  Open();
  EXPECT_TRUE(SetFilter(0x0B));
  EXPECT_TRUE(SetFilter(0x24));
  kernel().RunPending();
  EXPECT_EQ(model().packetFilterRequests(), std::vector<USHORT>{0x03});
}

// A close right after a set (a reset, a power-down) cancels the request if it has not gone
// out; the reopened pipes bring the device the filter then. Either way it hears it once.
TEST_F(EcmControlTest, FilterReachesTheDeviceOnceAcrossACloseAndReopen) {
  Open();
  for (bool sentBeforeClose : {false, true}) {
    SCOPED_TRACE(sentBeforeClose ? "sent before the close" : "cancelled by the close");
    size_t before = model().packetFilterRequests().size();
    EXPECT_TRUE(SetFilter(sentBeforeClose ? 0x24 : 0x0B));
    if (sentBeforeClose) kernel().RunPending();
    ASSERT_EQ(device->ClosePipes(), STATUS_SUCCESS);
    kernel().RunPending();
    EXPECT_EQ(model().packetFilterRequests().size(), before + (sentBeforeClose ? 1 : 0));
    ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
    kernel().RunPending();
    EXPECT_EQ(model().packetFilterRequests().size(), before + 1);
    EXPECT_EQ(model().packetFilter(), sentBeforeClose ? 0x03 : 0x1C);
  }
}

TEST_F(EcmControlTest, RefusedFilterIsDroppedAndTheNextOneStillGoesOut) {
  Open();
  model().RefusePacketFilter(true);
  EXPECT_TRUE(SetFilter(0x0B));
  kernel().RunPending();
  EXPECT_FALSE(model().packetFilter().has_value());
  model().RefusePacketFilter(false);
  EXPECT_TRUE(SetFilter(0x01));
  kernel().RunPending();
  EXPECT_EQ(model().packetFilterRequests(), (std::vector<USHORT>{0x1C, 0x04}));
  EXPECT_EQ(model().packetFilter(), 0x04);
}

TEST_F(EcmControlTest, WithoutAWorkItemNothingIsQueuedSentOrFinished) {
  Open();
  kernel().faults().FailAll(emu::FaultPoint::WorkItem, true);
  EXPECT_FALSE(SetFilter(0x0B));
  EXPECT_FALSE(PowerDown());
  EXPECT_FALSE(PowerUp());
  kernel().faults().FailAll(emu::FaultPoint::WorkItem, false);
  kernel().RunPending();
  EXPECT_TRUE(model().packetFilterRequests().empty());
  EXPECT_EQ(sink.requestsFinished, 0);
  EXPECT_TRUE(device->CanSend());
}

// The device would keep its old filter: only a reset's reopen can queue the request again,
// and pipes that are closed queue it when they start anyway.
TEST_F(EcmControlTest, FilterThatFoundNoWorkItemAsksForAResetWhileThePipesRun) {
  Open();
  kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
  EXPECT_FALSE(SetFilter(0x0B));
  EXPECT_TRUE(device->NeedsReset());
  ASSERT_EQ(device->ClosePipes(), STATUS_SUCCESS);
  EXPECT_FALSE(device->NeedsReset());
  ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(model().packetFilterRequests(), std::vector<USHORT>{0x1C});
  EXPECT_FALSE(device->NeedsReset());
}

TEST_F(EcmControlTest, PowerDownClosesThePipesAndPowerUpReopensThem) {
  Open();
  int announcements = sink.transmitReady;
  ASSERT_TRUE(PowerDown());
  kernel().RunPending();
  EXPECT_EQ(sink.requestsFinished, 1);
  ExpectPipesClosed();
  ASSERT_TRUE(PowerUp());
  kernel().RunPending();
  EXPECT_EQ(sink.requestsFinished, 2);
  ExpectPipesOpen();
  EXPECT_EQ(sink.transmitReady, announcements + 1) << "the reopened bulk-out announces itself";
  EXPECT_EQ(bus().QueuedTransfers(kNotifyEndpoint), 1u);
}

// A power-up finding pipes that never closed leaves them running: starting them again would
// reset endpoints under transfers in flight and submit reads twice.
TEST_F(EcmControlTest, PowerUpAfterAPowerDownThatNeverRanLeavesThePipesAsTheyRun) {
  enum class Way { PowerDownFoundNoWorkItem, PowerUpFoldedIntoTheQueuedPowerDown };
  for (Way way : {Way::PowerDownFoundNoWorkItem, Way::PowerUpFoldedIntoTheQueuedPowerDown}) {
    SCOPED_TRACE(static_cast<int>(way));
    settings.SendClearEpHaltOnStart = 1;
    Open();
    size_t requests = bus().Requests().size();
    int finished = sink.requestsFinished;
    if (way == Way::PowerDownFoundNoWorkItem) {
      kernel().faults().FailNth(emu::FaultPoint::WorkItem, 1);
      ASSERT_FALSE(PowerDown());
    } else {
      ASSERT_TRUE(PowerDown());
    }
    ASSERT_TRUE(PowerUp());
    kernel().RunPending();
    EXPECT_EQ(sink.requestsFinished, finished + 1);
    EXPECT_EQ(bus().Requests().size(), requests) << "no abort, no pipe reset, no second read";
    ExpectPipesOpen();
    EXPECT_EQ(bus().QueuedTransfers(kNotifyEndpoint), 1u);
    EXPECT_FALSE(device->NeedsReset());
    ASSERT_EQ(device->ClosePipes(), STATUS_SUCCESS);
    ASSERT_EQ(device->Stop(), STATUS_SUCCESS);
    ReplaceDevice();
  }
}

// The adapter's stop (ClosePipes, then Stop) arrives while a power-up is inside OpenPipes,
// held up by a slow pipe reset: the close waits for the open to finish, then wins.
TEST_F(EcmControlTest, StopArrivingDuringPowerUpClosesAfterItAndForGood) {
  settings.SendClearEpHaltOnStart = 1;
  Open();
  ASSERT_TRUE(PowerDown());
  kernel().RunPending();
  bus().InjectFault(ControlFault::Delay(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, 300).Times(1));
  ASSERT_TRUE(PowerUp());
  kernel().RunPending();
  ASSERT_EQ(sink.requestsFinished, 1) << "the power-up waits for its first pipe reset";

  uint64_t before = kernel().NowMs();
  device->ClosePipes();
  EXPECT_EQ(kernel().NowMs() - before, 300u) << "the close waited for the open";
  EXPECT_EQ(sink.requestsFinished, 2);
  EXPECT_FALSE(AnyPipeStarted());
  EXPECT_EQ(bus().PendingIrps(), 0u);
  device->Stop();
  kernel().AdvanceTimeMs(1000);
  EXPECT_EQ(bus().PendingIrps(), 0u);
  EXPECT_EQ(sink.requestsFinished, 2);
}

// A power-up queued before the stop runs after the stop's close: it reopens nothing, and its
// request is still finished (a pended request must complete).
TEST_F(EcmControlTest, PowerUpQueuedBeforeTheStopRunsAfterItsCloseAndLeavesThePipesClosed) {
  Open();
  ASSERT_TRUE(PowerDown());
  kernel().RunPending();
  size_t transfers = Transfers();
  ASSERT_TRUE(PowerUp());
  device->ClosePipes();
  EXPECT_EQ(sink.requestsFinished, 1) << "not run yet";
  device->Stop();
  EXPECT_EQ(sink.requestsFinished, 2) << "Stop let it run rather than forget it";
  EXPECT_EQ(Transfers(), transfers) << "no pipe was reopened";
  EXPECT_FALSE(AnyPipeStarted());
  EXPECT_FALSE(bus().Configured());
}

// Surprise removal, then halt, while a power-down drains a read that is on the wire: the
// stop's close waits for the power routine's, Stop waits for the routine, nothing deadlocks.
TEST_F(EcmControlTest, RemovalAndHaltDuringPowerDownWaitForItWithoutDeadlock) {
  Open();
  ASSERT_TRUE(bus().CompleteTransfer(bus().Transfers(kDataInEndpoint).at(0).id,
                                     emu::usb::TransferResult::Data(TestFrame(60, 1)), emu::usb::When::Dpc, 2000));
  uint64_t before = kernel().NowMs();
  ASSERT_TRUE(PowerDown());
  kernel().RunPending();
  EXPECT_EQ(sink.requestsFinished, 0) << "the power-down is draining";

  device->ClosePipes();
  EXPECT_EQ(kernel().NowMs() - before, 2000u);
  EXPECT_EQ(sink.requestsFinished, 1);
  bus().Unplug();
  device->Stop();  // its deconfigure fails on the gone device; the adapter ignores that
  device->Destroy(kDestroyFreeMemory);
  device = nullptr;
  EXPECT_EQ(bus().PendingIrps(), 0u);
  EXPECT_TRUE(sink.received.empty());
}

// The adapter's reset closes and then reopens the pipes. A power-down queued before it starts
// while the close drains a read on the wire, and gets the pipes between the close and the
// reopen; they must stay closed until the power-up, which opens them again.
TEST_F(EcmControlTest, PowerDownRunningBetweenAResetsCloseAndReopenIsNotUndone) {
  Open();
  ASSERT_TRUE(bus().CompleteTransfer(bus().Transfers(kDataInEndpoint).at(0).id,
                                     emu::usb::TransferResult::Data(TestFrame(60, 1)), emu::usb::When::Dpc, 100));
  ASSERT_TRUE(PowerDown());
  device->ClosePipes();
  EXPECT_EQ(sink.requestsFinished, 0) << "the staging: the power-down waits for the close's mutex";
  device->OpenPipes();
  kernel().RunPending();
  EXPECT_EQ(sink.requestsFinished, 1);
  ExpectPipesClosed();
  ASSERT_TRUE(PowerUp());
  kernel().RunPending();
  ExpectPipesOpen();
}

// Every other delayed worker is busy for a minute. A power-down is queued, then a read fails
// and a filter is set, queueing a repair and a filter request behind it: the power-down must
// not wait for work that needs a worker it holds itself. The repair it dropped must not keep
// the pipe from repairing itself after the power-up.
TEST_F(EcmControlTest, PowerDownDoesNotWaitForWorkQueuedBehindIt) {
  static KEVENT busy;
  KeInitializeEvent(&busy, NotificationEvent, FALSE);
  Open();
  PIO_WORKITEM blockers[emu::kWorkersPerQueue[static_cast<int>(emu::WorkQueue::Delayed)] - 1];
  for (PIO_WORKITEM& blocker : blockers) {
    blocker = IoAllocateWorkItem(&fdo);
    IoQueueWorkItem(blocker, [](PDEVICE_OBJECT, PVOID) {
      KeWaitForSingleObject(&busy, Executive, KernelMode, FALSE, nullptr);
    }, DelayedWorkQueue, nullptr);
  }
  TimedCall releaseBlockers([](PKDPC, PVOID, PVOID, PVOID) { KeSetEvent(&busy, 0, FALSE); }, nullptr);
  releaseBlockers.ArmMs(60000);
  kernel().RunPending();
  ASSERT_TRUE(PowerDown());
  ASSERT_TRUE(bus().CompleteTransfer(bus().Transfers(kDataInEndpoint).at(0).id, emu::usb::TransferResult::Stall(),
                                     emu::usb::When::Inline));
  ASSERT_TRUE(SetFilter(NDIS_PACKET_TYPE_DIRECTED));
  kernel().AdvanceTimeMs(20000);
  EXPECT_EQ(sink.requestsFinished, 1);
  ExpectPipesClosed();

  kernel().AdvanceTimeMs(60000);
  for (PIO_WORKITEM blocker : blockers) IoFreeWorkItem(blocker);
  ASSERT_TRUE(PowerUp());
  kernel().AdvanceTimeMs(20000);
  ExpectPipesOpen();
}

}  // namespace
