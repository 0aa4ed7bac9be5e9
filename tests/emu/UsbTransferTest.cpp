// The bus's data side and the ECM device model's endpoints: who decides how a transfer ends,
// when it completes, what reaches the URB, and how OUT packets become frames on the device.
#include "DataPipesBench.h"
#include "EmuTest.h"
#include "UrbSender.h"
#include "emu/usb/BusObserver.h"

#include <memory>

using emu::devices::Bytes;
using emu::usb::ScriptedTransfer;
using emu::usb::TransferResult;
using emu::usb::When;

namespace {

constexpr UCHAR kIn = DataPipesBench::kBulkIn;
constexpr UCHAR kOut = DataPipesBench::kBulkOut;
constexpr UCHAR kNotify = DataPipesBench::kInterruptIn;

Bytes Pattern(size_t length, UCHAR seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>(seed + i);
  return bytes;
}

// A transfer's URB and data, and how its IRP ended.
struct Transfer {
  URB urb{};
  Bytes data;
  SentUrb sent;

  bool completed() const { return sent.completed; }
  NTSTATUS status() const { return sent.status; }
  ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
  USBD_STATUS UsbdStatus() const { return urb.UrbHeader.Status; }
};

class UsbTransferTest : public EmuTest {
 protected:
  UsbTransferTest() {
    // The interrupt endpoint is the test's: the device announces no link on it.
    pipes.device().SetNotifications(false);
    EXPECT_EQ(pipes.Select(), STATUS_SUCCESS);
  }
  void TearDown() override {
    bus().Unplug();  // ends whatever still waits
    kernel().RunPending();
    for (auto& t : sent_) {
      EXPECT_TRUE(t->completed());
      IoFreeIrp(t->sent.irp);
    }
    pipes.Release();
    EmuTest::TearDown();
  }

  emu::usb::Bus& bus() { return pipes.bus(); }
  emu::devices::EcmFunction& device() { return pipes.device(); }

  // A read of 'length' bytes from an IN endpoint, or a write of 'data' to an OUT one; the
  // bus's DPC is not run.
  Transfer& Send(UCHAR endpoint, ULONG length, Bytes data = {}) {
    sent_.push_back(std::make_unique<Transfer>());
    Transfer& t = *sent_.back();
    bool in = endpoint & 0x80;
    t.data = in ? Bytes(length, 0xEE) : std::move(data);
    t.urb = TransferUrb(pipes.selector.FindPipeByAddress(endpoint)->PipeHandle,
                        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0,
                        t.data.empty() ? nullptr : t.data.data(), in ? length : static_cast<ULONG>(t.data.size()));
    SendUrb(pipes.bench.Pdo(), t.urb, t.sent, false);
    return t;
  }
  Transfer& Read(UCHAR endpoint, ULONG length) { return Send(endpoint, length); }
  Transfer& Write(Bytes data) { return Send(kOut, 0, std::move(data)); }
  std::vector<emu::usb::QueuedTransfer> Waiting(UCHAR endpoint) { return bus().Transfers(endpoint); }
  // A reset or abort of the bulk IN pipe; the URB's status.
  USBD_STATUS PipeRequest(USHORT function) {
    USBD_STATUS status = 0;
    pipes.target.PipeRequest(function, pipes.selector.FindPipeByAddress(kIn)->PipeHandle, 500, &status);
    return status;
  }

  DataPipesBench pipes;

 private:
  std::vector<std::unique_ptr<Transfer>> sent_;
};

TEST_F(UsbTransferTest, TransfersWaitOnTheirEndpointUntilTheDeviceHasData) {
  Transfer& read = Read(kIn, 1536);
  Transfer& notification = Read(kNotify, 16);
  kernel().RunPending();
  EXPECT_EQ(read.sent.returned, STATUS_PENDING);
  EXPECT_FALSE(read.completed()) << "the device NAKs while it has nothing to send";
  ASSERT_EQ(Waiting(kIn).size(), 1u);
  EXPECT_EQ(Waiting(kIn)[0].length, 1536u);
  EXPECT_EQ(Waiting(kIn)[0].transferFlags, ULONG{USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK});
  EXPECT_EQ(bus().QueuedTransfers(kNotify), 1u);

  device().BulkIn().Queue(Pattern(60, 0x10));
  EXPECT_FALSE(read.completed()) << "the bus completes from its DPC";
  kernel().RunPending();
  ASSERT_TRUE(read.completed());
  EXPECT_EQ(read.status(), STATUS_SUCCESS);
  EXPECT_EQ(read.sent.completionIrql, DISPATCH_LEVEL);
  EXPECT_EQ(read.Length(), 60u);
  EXPECT_EQ(Bytes(read.data.begin(), read.data.begin() + 60), Pattern(60, 0x10));
  EXPECT_FALSE(notification.completed()) << "each endpoint has its own queue";
  device().InterruptIn().Queue(Pattern(8, 0x30));
  kernel().RunPending();
  EXPECT_EQ(notification.Length(), 8u);

  device().BulkIn().Queue(Pattern(30, 0x20));
  EXPECT_EQ(device().BulkIn().Queued(), 1u) << "a frame waits for the next read";
  Transfer& next = Read(kIn, 1536);
  kernel().RunPending();
  EXPECT_EQ(next.Length(), 30u);
}

TEST_F(UsbTransferTest, ScriptedTransfersEndInsideTheCallOrLaterOnTheDpc) {
  bus().ScriptTransfers(kIn, {ScriptedTransfer{TransferResult::Data(Pattern(5, 1)), When::Inline},
                              ScriptedTransfer{TransferResult::Data(Pattern(7, 2)), When::Dpc}});
  Transfer& inside = Read(kIn, 64);
  EXPECT_TRUE(inside.completed()) << "completed before IofCallDriver returned";
  EXPECT_EQ(inside.sent.returned, STATUS_PENDING);
  EXPECT_EQ(inside.Length(), 5u);
  EXPECT_EQ(inside.sent.completionIrql, DISPATCH_LEVEL);
  Transfer& later = Read(kIn, 64);
  EXPECT_FALSE(later.completed());
  EXPECT_EQ(bus().ScriptedLeft(kIn), 0u);
  kernel().RunPending();
  EXPECT_EQ(later.Length(), 7u);

  // A script applies at once to a transfer already waiting; the device model's answers follow
  // the bus's completion mode.
  Transfer& waiting = Read(kIn, 64);
  bus().ScriptTransfers(kIn, {ScriptedTransfer{TransferResult::Data({}), When::Inline}});
  EXPECT_TRUE(waiting.completed());
  EXPECT_EQ(waiting.Length(), 0u);
  EXPECT_EQ(waiting.status(), STATUS_SUCCESS) << "an empty transfer";
  bus().SetCompletionMode(emu::usb::CompletionMode::Inline);
  device().BulkIn().Queue(Pattern(3, 3));
  EXPECT_TRUE(Read(kIn, 64).completed());
}

TEST_F(UsbTransferTest, TestEndsWaitingTransfersInAnyOrder) {
  Transfer& first = Read(kIn, 64);
  Transfer& second = Read(kIn, 64);
  Transfer& third = Read(kIn, 64);
  auto waiting = Waiting(kIn);
  ASSERT_EQ(waiting.size(), 3u);
  EXPECT_TRUE(bus().CompleteTransfer(waiting[2].id, TransferResult::Data(Pattern(3, 0))));
  EXPECT_TRUE(bus().CompleteTransfer(waiting[0].id, TransferResult::Data(Pattern(1, 0))));
  EXPECT_TRUE(bus().CompleteTransfer(waiting[1].id, TransferResult::Data(Pattern(2, 0)), When::Inline));
  EXPECT_FALSE(bus().CompleteTransfer(waiting[1].id, TransferResult{})) << "not waiting any more";
  EXPECT_TRUE(second.completed()) << "inline: in the caller's context, at once";
  EXPECT_FALSE(third.completed());
  kernel().RunPending();
  EXPECT_LT(second.sent.order, third.sent.order);
  EXPECT_LT(third.sent.order, first.sent.order) << "the DPC completes in the order of decision";
  EXPECT_EQ(first.Length(), 1u);
  EXPECT_EQ(third.Length(), 3u);
}

TEST_F(UsbTransferTest, ShortEmptyAndOverlongDataReachTheUrbAsTheHardwareReportsThem) {
  bus().ScriptTransfers(kIn, {ScriptedTransfer{TransferResult::Data(Pattern(10, 9))},
                              ScriptedTransfer{TransferResult::Data({})},
                              ScriptedTransfer{TransferResult::Data(Pattern(80, 7))}});
  Transfer& shortRead = Read(kIn, 64);
  Transfer& empty = Read(kIn, 64);
  Transfer& babble = Read(kIn, 64);
  kernel().RunPending();
  EXPECT_EQ(shortRead.status(), STATUS_SUCCESS);
  EXPECT_EQ(shortRead.Length(), 10u);
  EXPECT_EQ(shortRead.data[10], 0xEE) << "nothing written past the bytes received";
  EXPECT_EQ(empty.status(), STATUS_SUCCESS);
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(babble.UsbdStatus(), USBD_STATUS_BABBLE_DETECTED);
  EXPECT_EQ(babble.status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(babble.Length(), 64u) << "the buffer is full, and not one byte more";
  Bytes sent = Pattern(80, 7);
  EXPECT_EQ(babble.data, Bytes(sent.begin(), sent.begin() + 64));
}

// A stall, and as the host controller does, any transaction error.
class HaltingFailureTest : public UsbTransferTest, public ::testing::WithParamInterface<USBD_STATUS> {};

TEST_P(HaltingFailureTest, HaltsThePipeUntilAResetOfTheEmptyPipe) {
  Transfer& stalled = Read(kIn, 64);
  Transfer& behind = Read(kIn, 64);  // waits behind the one that stalls
  ASSERT_TRUE(bus().CompleteTransfer(Waiting(kIn)[0].id, TransferResult::Status(GetParam())));
  kernel().RunPending();
  EXPECT_EQ(stalled.UsbdStatus(), GetParam());
  EXPECT_EQ(stalled.status(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(bus().Halted(kIn));
  device().BulkIn().Queue(Pattern(4, 4));
  Transfer& late = Read(kIn, 64);
  kernel().RunPending();
  EXPECT_EQ(late.UsbdStatus(), USBD_STATUS_ENDPOINT_HALTED) << "a halted endpoint does not reach the device";
  EXPECT_FALSE(behind.completed());
  EXPECT_EQ(device().BulkIn().Queued(), 1u);

  EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), USBD_STATUS_ERROR_BUSY);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE), USBD_STATUS_SUCCESS);
  EXPECT_EQ(behind.status(), STATUS_CANCELLED);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), USBD_STATUS_SUCCESS);
  EXPECT_FALSE(bus().Halted(kIn));
  Transfer& again = Read(kIn, 64);
  kernel().RunPending();
  EXPECT_EQ(again.Length(), 4u) << "the device is asked again";
}

INSTANTIATE_TEST_SUITE_P(StallAndTransactionErrors, HaltingFailureTest,
                         ::testing::Values(USBD_STATUS_STALL_PID, USBD_STATUS_CRC, USBD_STATUS_BABBLE_DETECTED,
                                           USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_XACT_ERROR));

TEST_F(UsbTransferTest, AbortCancelsWaitingTransfersButNotOnesAlreadyOnTheWire) {
  Transfer& onTheWire = Read(kIn, 64);
  Transfer& waiting = Read(kIn, 64);
  ASSERT_TRUE(bus().CompleteTransfer(Waiting(kIn)[0].id, TransferResult::Data(Pattern(9, 1)), When::Dpc, 100));
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE), USBD_STATUS_SUCCESS);
  EXPECT_EQ(waiting.status(), STATUS_CANCELLED);
  EXPECT_EQ(waiting.UsbdStatus(), USBD_STATUS_CANCELED);
  EXPECT_FALSE(onTheWire.completed());
  kernel().AdvanceTimeMs(100);
  EXPECT_TRUE(onTheWire.completed());
  EXPECT_EQ(onTheWire.status(), STATUS_SUCCESS);
  EXPECT_EQ(onTheWire.Length(), 9u);
}

TEST_F(UsbTransferTest, FailedAbortLeavesTheWaitingTransfersQueuedForTheNextOne) {
  Transfer& waiting = Read(kIn, 64);
  bus().InjectFault(emu::usb::ControlFault::Fail(URB_FUNCTION_ABORT_PIPE, STATUS_UNSUCCESSFUL,
                                                 USBD_STATUS_DEV_NOT_RESPONDING)
                        .Times(1));
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE), USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_FALSE(waiting.completed());
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE), USBD_STATUS_SUCCESS);
  EXPECT_EQ(waiting.status(), STATUS_CANCELLED);
}

TEST_F(UsbTransferTest, GoneDeviceEndsTransfersAndRefusesNewOnesAtOnce) {
  bus().ScriptTransfers(kIn, {ScriptedTransfer{TransferResult::DeviceGone()},
                              ScriptedTransfer{TransferResult::IrpFailure(STATUS_NO_SUCH_DEVICE)}});
  Transfer& gone = Read(kIn, 64);
  Transfer& noSuchDevice = Read(kIn, 64);
  Transfer& waiting = Read(kNotify, 16);
  kernel().RunPending();
  EXPECT_EQ(gone.status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(gone.UsbdStatus(), USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(noSuchDevice.status(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(noSuchDevice.UsbdStatus(), USBD_STATUS_SUCCESS);

  bus().Unplug();
  EXPECT_EQ(waiting.status(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(waiting.UsbdStatus(), USBD_STATUS_DEVICE_GONE);
  Transfer& afterwards = Write(Pattern(10, 0));
  EXPECT_TRUE(afterwards.completed()) << "failed inside the call";
  EXPECT_EQ(afterwards.sent.returned, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbTransferTest, OutTransfersBecomeFramesOnlyAtAShortPacket) {
  Write(Pattern(100, 1));                    // short: a frame of its own
  Write(Pattern(1024, 2));                   // two full packets...
  Write({});                                 // ...ended by a zero-length packet
  Write(Pattern(512, 3));                    // a full packet with no zero-length packet...
  Write(Pattern(100, 4));                    // ...runs into the next transfer
  Write({});                                 // a stray zero-length packet ends nothing
  Write(Pattern(1024, 5));                   // three transfers of whole packets, longer
  Write(Pattern(1024, 6));                   // than the device takes
  Write(Pattern(10, 7));
  kernel().RunPending();
  std::vector<emu::devices::ReceivedFrame> frames = device().BulkOut().Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].bytes, Pattern(100, 1));
  EXPECT_FALSE(frames[0].merged());
  EXPECT_EQ(frames[1].bytes, Pattern(1024, 2));
  EXPECT_FALSE(frames[1].merged());
  Bytes merged = Pattern(512, 3);
  Bytes tail = Pattern(100, 4);
  merged.insert(merged.end(), tail.begin(), tail.end());
  EXPECT_EQ(frames[2].bytes, merged);
  EXPECT_TRUE(frames[2].merged());
  EXPECT_FALSE(frames[2].truncated);
  EXPECT_EQ(frames[3].bytes.size(), 1514u) << "the device's wMaxSegmentSize";
  EXPECT_EQ(frames[3].transfers, 3u);
  EXPECT_TRUE(frames[3].truncated);
  EXPECT_EQ(device().BulkOut().PendingBytes(), 0u);
}

TEST_F(UsbTransferTest, HeldEndpointWaitsForTheTestAndReleasingItLetsTheDeviceIn) {
  bus().HoldEndpoint(kOut, true);
  Transfer& write = Write(Pattern(20, 5));
  kernel().RunPending();
  EXPECT_FALSE(write.completed());
  ASSERT_EQ(Waiting(kOut).size(), 1u);
  EXPECT_EQ(Waiting(kOut)[0].data, Pattern(20, 5)) << "what the driver sent, as it waits";
  EXPECT_TRUE(device().BulkOut().Frames().empty());
  bus().HoldEndpoint(kOut, false);
  kernel().RunPending();
  EXPECT_EQ(write.status(), STATUS_SUCCESS);
  EXPECT_EQ(write.Length(), 20u);
  ASSERT_EQ(device().BulkOut().Frames().size(), 1u);
}

TEST_F(UsbTransferTest, DeviceThatEchoesAnswersAWaitingReadFromItsFrameHandler) {
  device().BulkOut().SetFrameHandler(
      [this](const emu::devices::ReceivedFrame& frame) { device().BulkIn().Queue(frame.bytes); });
  Transfer& read = Read(kIn, 1536);
  Write(Pattern(70, 8));
  kernel().RunPending();
  ASSERT_TRUE(read.completed());
  EXPECT_EQ(Bytes(read.data.begin(), read.data.begin() + read.Length()), Pattern(70, 8));
}

// What a capture on the host controller sees: each URB once as it arrives, with the OUT data,
// and once as its IRP ends, with the IN data and the URB's status, cancelled and refused included.
class RecordingObserver : public emu::usb::BusObserver {
 public:
  struct Seen {
    bool completion;
    USHORT function;
    UCHAR endpoint;
    USBD_STATUS status;
    Bytes data;
    USBD_PIPE_TYPE type;
  };
  void OnUrbSubmitted(const emu::usb::UrbSubmission& s) override {
    seen.push_back({false, s.function, s.endpoint.value_or(0), 0, Bytes(s.data, s.data + s.length), s.pipeType});
  }
  void OnUrbCompleted(const emu::usb::UrbCompletion& c) override {
    seen.push_back({true, c.function, 0, c.status, Bytes(c.data, c.data + c.length), UsbdPipeTypeControl});
  }
  std::vector<Seen> seen;
};

TEST_F(UsbTransferTest, ObserverSeesEachUrbArriveAndEndWithItsDataAndStatus) {
  Transfer& before = Read(kIn, 64);  // arrived before the observer: only its end is seen
  RecordingObserver observer;
  bus().SetObserver(&observer);
  Write(Pattern(100, 1));
  kernel().RunPending();
  device().BulkIn().Queue(Pattern(20, 2));
  kernel().RunPending();
  EXPECT_TRUE(before.completed());
  Transfer& waiting = Read(kIn, 64);
  Read(kNotify, 16);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE), USBD_STATUS_SUCCESS);
  EXPECT_EQ(waiting.UsbdStatus(), USBD_STATUS_CANCELED);
  bus().Unplug();
  Write(Pattern(10, 3));
  bus().SetObserver(nullptr);

  const auto& s = observer.seen;
  ASSERT_EQ(s.size(), 11u);
  // The write: its data as it arrives, nothing more at its end.
  EXPECT_FALSE(s[0].completion);
  EXPECT_EQ(s[0].endpoint, kOut);
  EXPECT_EQ(s[0].type, UsbdPipeTypeBulk);
  EXPECT_EQ(s[0].data, Pattern(100, 1));
  EXPECT_TRUE(s[1].completion);
  EXPECT_EQ(s[1].status, USBD_STATUS_SUCCESS);
  // The read that arrived earlier ends with the device's bytes.
  EXPECT_TRUE(s[2].completion);
  EXPECT_EQ(s[2].data.size(), 20u);
  // The waiting read, the notification read and the abort: the read ends cancelled.
  EXPECT_EQ(s[3].endpoint, kIn);
  EXPECT_TRUE(s[3].data.empty()) << "nothing of an IN transfer is known as it arrives";
  EXPECT_EQ(s[4].endpoint, kNotify);
  EXPECT_EQ(s[4].type, UsbdPipeTypeInterrupt);
  EXPECT_EQ(s[5].function, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(s[6].status, USBD_STATUS_CANCELED);
  EXPECT_EQ(s[7].function, URB_FUNCTION_ABORT_PIPE);
  EXPECT_TRUE(s[7].completion);
  // The unplug ends the notification read; the write after it is refused at once.
  EXPECT_EQ(s[8].status, USBD_STATUS_DEVICE_GONE);
  EXPECT_FALSE(s[9].completion);
  EXPECT_TRUE(s[10].completion);
  EXPECT_EQ(s[10].status, USBD_STATUS_DEVICE_GONE);
}

}  // namespace
