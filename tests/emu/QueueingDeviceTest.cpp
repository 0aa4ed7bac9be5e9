// The bus in front of a device that queues transfers itself, as a real one behind libusb does:
// every transfer is handed over as it arrives, the device ends them in its own order, and
// whatever the bus ends itself (cancel, abort, removal) is taken back from the device. Also the
// pieces of the libusb backend that need no device: its status mapping and device selector,
// and the profile reader, here against the device model.
#include <map>
#include <memory>

#include "EmuTest.h"
#include "UrbSender.h"
#include "emu/devices/EcmFunction.h"
#include "emu/devices/ProfileReader.h"
#include "emu/realusb/DeviceSelector.h"
#include "emu/realusb/LibusbStatus.h"
#include "emu/usb/Bus.h"
#include "usb/ConfigurationSelector.h"

#include <libusb.h>

using emu::usb::TransferResult;

namespace {

constexpr UCHAR kIn = 0x82, kOut = 0x02;

// The model's descriptors and selection, with transfers kept as a real device keeps them.
class QueueingDevice : public emu::devices::EcmFunction {
 public:
  bool QueuesTransfers() const override { return true; }
  void StartTransfer(uint64_t id, const emu::usb::TransferRequest& request) override {
    started.push_back(id);
    endpointOf[id] = request.endpoint;
  }
  void StopTransfer(uint64_t id) override { stopped.push_back(id); }
  USBD_STATUS ControlFailure() override { return controlFailure; }
  void End(uint64_t id, const TransferResult& result) { Finish(id, result); }

  std::vector<uint64_t> started, stopped;
  std::map<uint64_t, UCHAR> endpointOf;
  USBD_STATUS controlFailure = USBD_STATUS_STALL_PID;
};

struct Transfer {
  URB urb{};
  std::vector<UCHAR> data;
  SentUrb sent;
};

class QueueingDeviceTest : public EmuTest {
 protected:
  QueueingDeviceTest() {
    target_.LowerDevice = bus_.Pdo();
    target_.PhysicalDevice = bus_.Pdo();
    EXPECT_EQ(selector_.SelectConfiguration(target_, 0, 500, 4096), STATUS_SUCCESS);
    EXPECT_EQ(selector_.PrepareSelectInterface(target_, 1, 1, 4096), STATUS_SUCCESS);
    EXPECT_EQ(selector_.SubmitSelectInterface(target_, 500), STATUS_SUCCESS);
  }
  void TearDown() override {
    bus_.Unplug();
    kernel().RunPending();
    for (auto& t : sent_) {
      EXPECT_TRUE(t->sent.completed);
      IoFreeIrp(t->sent.irp);
    }
    selector_.ReleaseAll();
    selector_.descriptorCopy.Discard();
    EmuTest::TearDown();
  }

  Transfer& Send(UCHAR endpoint, ULONG length) {
    sent_.push_back(std::make_unique<Transfer>());
    Transfer& t = *sent_.back();
    bool in = endpoint & 0x80;
    t.data.assign(length, 0x5A);
    t.urb = TransferUrb(selector_.FindPipeByAddress(endpoint)->PipeHandle,
                        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, t.data.data(), length);
    SendUrb(bus_.Pdo(), t.urb, t.sent, false);
    return t;
  }
  USBD_STATUS PipeRequest(USHORT function, UCHAR endpoint) {
    USBD_STATUS status = 0;
    target_.PipeRequest(function, selector_.FindPipeByAddress(endpoint)->PipeHandle, 500, &status);
    return status;
  }

  QueueingDevice device_;
  emu::usb::Bus bus_{device_};
  UsbTarget target_;
  ConfigurationSelector selector_;

 private:
  std::vector<std::unique_ptr<Transfer>> sent_;
};

TEST_F(QueueingDeviceTest, EveryTransferReachesTheDeviceAtOnceAndEndsInTheDevicesOrder) {
  Transfer& first = Send(kIn, 1536);
  Transfer& second = Send(kIn, 1536);
  Transfer& write = Send(kOut, 100);
  ASSERT_EQ(device_.started.size(), 3u) << "a queueing device gets every transfer, not the oldest per pipe";
  device_.End(device_.started[1], TransferResult::Data(std::vector<UCHAR>(60, 0x11)));
  device_.End(device_.started[0], TransferResult::Data(std::vector<UCHAR>(1537, 0x22)));
  TransferResult written;
  written.moved = 100;
  device_.End(device_.started[2], written);
  kernel().RunPending();
  EXPECT_LT(second.sent.order, first.sent.order) << "completions follow the device's order";
  EXPECT_EQ(second.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 60u);
  EXPECT_EQ(first.urb.UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED) << "more than the buffer holds";
  EXPECT_EQ(write.sent.status, STATUS_SUCCESS);
  EXPECT_TRUE(device_.stopped.empty()) << "nothing the device ended is taken back";
}

TEST_F(QueueingDeviceTest, WhatTheBusEndsItselfIsTakenBackAndALateAnswerIsIgnored) {
  Transfer& cancelled = Send(kIn, 1536);
  Transfer& aborted = Send(kIn, 1536);
  Transfer& kept = Send(kOut, 64);
  uint64_t cancelledId = device_.started[0], abortedId = device_.started[1];
  IoCancelIrp(cancelled.sent.irp);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, kIn), USBD_STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(device_.stopped, (std::vector<uint64_t>{cancelledId, abortedId}));
  EXPECT_EQ(cancelled.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(aborted.sent.status, STATUS_CANCELLED);
  // The device finishes them anyway, as a transfer on the wire may: nobody hears of it.
  device_.End(abortedId, TransferResult::Data(std::vector<UCHAR>(60, 0x33)));
  kernel().RunPending();
  EXPECT_EQ(aborted.sent.status, STATUS_CANCELLED);
  EXPECT_FALSE(kept.sent.completed);
  bus_.Unplug();
  kernel().RunPending();
  EXPECT_EQ(kept.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(device_.stopped.back(), device_.started[2]) << "removal takes back what was on the wire";
}

TEST_F(QueueingDeviceTest, AStallHaltsThePipeAndLaterTransfersNeverReachTheDevice) {
  Send(kIn, 1536);
  device_.End(device_.started[0], TransferResult::Stall());
  kernel().RunPending();
  Transfer& late = Send(kIn, 1536);
  kernel().RunPending();
  EXPECT_EQ(device_.started.size(), 1u);
  EXPECT_EQ(late.urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kIn), USBD_STATUS_SUCCESS);
  Send(kIn, 1536);
  EXPECT_EQ(device_.started.size(), 2u) << "after the reset the device gets transfers again";
}

TEST_F(QueueingDeviceTest, AControlRequestFailsAsTheDeviceSaysItFailed) {
  struct Case {
    USBD_STATUS failure;
    NTSTATUS status;
  } cases[] = {{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
               {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
               {USBD_STATUS_TIMEOUT, STATUS_UNSUCCESSFUL}};
  for (const Case& c : cases) {
    device_.controlFailure = c.failure;
    UCHAR buffer[32];
    URB urb = DescriptorUrb(3, 0x77, 0x0409, buffer, sizeof buffer);  // a string the device lacks
    SentUrb sent;
    SendUrb(bus_.Pdo(), urb, sent);
    EXPECT_EQ(urb.UrbHeader.Status, c.failure);
    EXPECT_EQ(sent.status, c.status);
  }
}

TEST(LibusbStatus, EachOutcomeBecomesThePlatformsStatus) {
  struct Case {
    int libusb;
    USBD_STATUS usbd;
  } transfers[] = {{LIBUSB_TRANSFER_COMPLETED, USBD_STATUS_SUCCESS},   {LIBUSB_TRANSFER_STALL, USBD_STATUS_STALL_PID},
                   {LIBUSB_TRANSFER_OVERFLOW, USBD_STATUS_BABBLE_DETECTED},
                   {LIBUSB_TRANSFER_NO_DEVICE, USBD_STATUS_DEVICE_GONE}, {LIBUSB_TRANSFER_CANCELLED, USBD_STATUS_CANCELED},
                   {LIBUSB_TRANSFER_TIMED_OUT, USBD_STATUS_TIMEOUT},   {LIBUSB_TRANSFER_ERROR, USBD_STATUS_DEV_NOT_RESPONDING}},
    errors[] = {{LIBUSB_ERROR_PIPE, USBD_STATUS_STALL_PID},        {LIBUSB_ERROR_NO_DEVICE, USBD_STATUS_DEVICE_GONE},
                {LIBUSB_ERROR_TIMEOUT, USBD_STATUS_TIMEOUT},       {LIBUSB_ERROR_OVERFLOW, USBD_STATUS_BABBLE_DETECTED},
                {LIBUSB_ERROR_IO, USBD_STATUS_DEV_NOT_RESPONDING}, {LIBUSB_ERROR_NO_MEM, USBD_STATUS_INSUFFICIENT_RESOURCES}};
  for (const Case& c : transfers) EXPECT_EQ(emu::realusb::UsbdStatusForTransfer(c.libusb), c.usbd) << c.libusb;
  for (const Case& c : errors) EXPECT_EQ(emu::realusb::UsbdStatusForError(c.libusb), c.usbd) << c.libusb;
}

TEST(DeviceSelector, TextNamesADeviceByIdsOrByPath) {
  struct Case {
    const char* text;
    bool ok;
    uint16_t vendor, product;
    unsigned ordinal;
    const char* path;
  } cases[] = {
      {"0525:a4a2", true, 0x0525, 0xA4A2, 1, ""}, {"1D6B:104@2", true, 0x1D6B, 0x0104, 2, ""},
      {"1-1", true, 0, 0, 1, "1-1"},              {"3-2.4.1", true, 0, 0, 1, "3-2.4.1"},
      {"0525:a4a2@0", false, 0, 0, 0, ""},        {"0525", false, 0, 0, 0, ""},
      {"12345:1", false, 0, 0, 0, ""},            {"1-", false, 0, 0, 0, ""},
      {"1-2..3", false, 0, 0, 0, ""},             {"g525:a4a2", false, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<emu::realusb::DeviceSelector> s = emu::realusb::ParseDeviceSelector(c.text, &error);
    ASSERT_EQ(s.has_value(), c.ok) << c.text << ": " << error;
    if (!s) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(s->vendorId, c.vendor) << c.text;
    EXPECT_EQ(s->productId, c.product) << c.text;
    EXPECT_EQ(s->ordinal, c.ordinal) << c.text;
    EXPECT_EQ(s->busPath, c.path) << c.text;
  }
}

TEST(ProfileReader, AProfileReadFromADeviceIsTheDevicesOwnAndReadsBack) {
  emu::devices::DeviceProfile original = emu::devices::DefaultEcmProfile();
  emu::Kernel kernel;
  emu::devices::EcmFunction device(original);
  emu::devices::DeviceProfile read;
  std::string error;
  ASSERT_TRUE(emu::devices::ReadProfile(device, &read, &error)) << error;
  EXPECT_EQ(read.device, original.device);
  EXPECT_EQ(read.configurations, original.configurations);
  EXPECT_EQ(read.strings, original.strings);
  emu::devices::ProfileLoad back = emu::devices::ParseProfile(emu::devices::FormatProfile(read, "test"));
  ASSERT_TRUE(back.ok) << back.error;
  EXPECT_EQ(back.profile.configurations, original.configurations);
  EXPECT_EQ(back.profile.strings, original.strings);
}

}  // namespace
