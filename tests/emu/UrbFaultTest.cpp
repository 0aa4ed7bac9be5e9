// Answering one numbered URB with a fault: the bus numbers every URB, and the armed number,
// whatever request it is, ends as the fault says, while the URBs around it go as usual.
#include "DataPipesBench.h"
#include "EmuTest.h"
#include "UrbSender.h"

#include <memory>

using emu::devices::Bytes;
using emu::usb::UrbFault;
using emu::usb::UrbFaultKind;

namespace {

constexpr UCHAR kIn = DataPipesBench::kBulkIn;
constexpr UCHAR kNotify = DataPipesBench::kInterruptIn;

struct Sent {
  URB urb{};
  Bytes data;
  SentUrb sent;
  ULONG length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
};

class UrbFaultTest : public EmuTest {
 protected:
  UrbFaultTest() {
    pipes.device().SetNotifications(false);
    EXPECT_EQ(pipes.Select(), STATUS_SUCCESS);
  }
  void TearDown() override {
    bus().Unplug();
    kernel().RunPending();
    for (auto& s : sent_) {
      EXPECT_TRUE(s->sent.completed);
      IoFreeIrp(s->sent.irp);
    }
    pipes.Release();
    EmuTest::TearDown();
  }
  emu::usb::Bus& bus() { return pipes.bus(); }
  // Arms the fault for the next URB that reaches the bus.
  void NextUrbMeets(UrbFaultKind kind) { bus().AnswerUrb(UrbFault{bus().UrbsNumbered() + 1, kind}); }

  Sent& DeviceDescriptor(ULONG length = 18) {
    Sent& s = Keep();
    s.data.assign(length, 0);
    s.urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, s.data.data(), length);
    SendUrb(pipes.bench.Pdo(), s.urb, s.sent, false);
    kernel().RunPending();
    return s;
  }
  Sent& Read(UCHAR endpoint) {
    Sent& s = Keep();
    s.data.assign(512, 0);
    s.urb = TransferUrb(pipes.selector.FindPipeByAddress(endpoint)->PipeHandle,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, s.data.data(), 512);
    SendUrb(pipes.bench.Pdo(), s.urb, s.sent, false);
    kernel().RunPending();
    return s;
  }

  DataPipesBench pipes;

 private:
  Sent& Keep() {
    sent_.push_back(std::make_unique<Sent>());
    return *sent_.back();
  }
  std::vector<std::unique_ptr<Sent>> sent_;
};

TEST_F(UrbFaultTest, OnlyTheArmedNumberMeetsTheFault) {
  uint64_t numbered = bus().UrbsNumbered();
  EXPECT_GE(numbered, 3u) << "the selection's URBs are numbered too";
  bus().AnswerUrb(UrbFault{numbered + 2, UrbFaultKind::Stall});
  EXPECT_EQ(DeviceDescriptor().urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  Sent& second = DeviceDescriptor();
  EXPECT_EQ(second.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(second.sent.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DeviceDescriptor().urb.UrbHeader.Status, USBD_STATUS_SUCCESS) << "a stall is for one request";
  EXPECT_EQ(bus().UrbsNumbered(), numbered + 3);
}

TEST_F(UrbFaultTest, ControlRequestMeetsEachKind) {
  NextUrbMeets(UrbFaultKind::TransactionError);
  Sent& error = DeviceDescriptor();
  EXPECT_EQ(error.urb.UrbHeader.Status, emu::usb::TransactionErrorFor(bus().UrbsNumbered()));
  EXPECT_EQ(error.sent.status, STATUS_UNSUCCESSFUL);

  NextUrbMeets(UrbFaultKind::ShortAnswer);
  Sent& shortened = DeviceDescriptor();
  EXPECT_EQ(shortened.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(shortened.urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);

  NextUrbMeets(UrbFaultKind::StallRequest);
  EXPECT_EQ(DeviceDescriptor().urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(DeviceDescriptor().urb.UrbHeader.Status, USBD_STATUS_STALL_PID) << "and every later one like it";

  NextUrbMeets(UrbFaultKind::NeverAnswer);
  Bytes buffer(9);
  URB urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 9);
  SentUrb sent;
  SendUrb(pipes.bench.Pdo(), urb, sent, false);
  kernel().AdvanceTimeMs(60000);
  EXPECT_FALSE(sent.completed) << "NAK for ever, until the sender cancels";
  IoCancelIrp(sent.irp);
  kernel().RunPending();
  EXPECT_EQ(sent.status, STATUS_CANCELLED);
  IoFreeIrp(sent.irp);
}

TEST_F(UrbFaultTest, TransferMeetsEachKind) {
  pipes.device().BulkIn().Queue(Bytes(100, 0x11));
  NextUrbMeets(UrbFaultKind::ShortAnswer);
  Sent& shortened = Read(kIn);
  EXPECT_EQ(shortened.urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(shortened.length(), 50u) << "half the device's frame";

  pipes.device().BulkIn().Queue(Bytes(100, 0x22));
  NextUrbMeets(UrbFaultKind::TransactionError);
  Sent& error = Read(kIn);
  EXPECT_EQ(error.urb.UrbHeader.Status, emu::usb::TransactionErrorFor(bus().UrbsNumbered()));
  EXPECT_TRUE(bus().Halted(kIn)) << "the host controller halts the endpoint, as on a stall";
  USBD_STATUS status = 0;
  pipes.target.PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                           pipes.selector.FindPipeByAddress(kIn)->PipeHandle, 500, &status);
  ASSERT_EQ(status, USBD_STATUS_SUCCESS);

  NextUrbMeets(UrbFaultKind::NeverAnswer);
  Sent& waiting = Read(kIn);
  Sent& behind = Read(kIn);
  kernel().AdvanceTimeMs(60000);
  EXPECT_FALSE(waiting.sent.completed) << "the frame is there, but the device NAKs";
  EXPECT_FALSE(behind.sent.completed) << "and the pipe's next read waits behind";
  pipes.target.PipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.selector.FindPipeByAddress(kIn)->PipeHandle, 500, &status);
  kernel().RunPending();
  EXPECT_EQ(waiting.urb.UrbHeader.Status, USBD_STATUS_CANCELED) << "an abort ends it";

  NextUrbMeets(UrbFaultKind::Stall);
  Sent& stalled = Read(kIn);
  EXPECT_EQ(stalled.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  EXPECT_TRUE(bus().Halted(kIn));
}

TEST_F(UrbFaultTest, DeviceGoneEndsEverythingHeldAndTellsTheHandlerOnce) {
  int told = 0;
  bus().SetUnplugHandler([&told] { ++told; });
  Sent& notification = Read(kNotify);
  NextUrbMeets(UrbFaultKind::DeviceGone);
  Sent& gone = DeviceDescriptor();
  EXPECT_EQ(gone.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(gone.sent.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(notification.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(DeviceDescriptor().sent.status, STATUS_DEVICE_NOT_CONNECTED) << "a gone device fails what follows";
  EXPECT_EQ(told, 1);
  bus().SetUnplugHandler(nullptr);
}

}  // namespace
