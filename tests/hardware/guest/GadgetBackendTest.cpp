// The real-device backend against the Linux ECM gadget, in the bench's guest: what the bus
// reports when a real device stalls, when transfers are cancelled or aborted, when frames
// cross in both directions with several transfers outstanding, and when the device goes away.
// The case script names the gadget: ECM_GADGET (its configfs folder) and ECM_GADGET_DEVICE.
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "emu/kernel/Kernel.h"
#include "emu/realusb/RealDevice.h"
#include "emu/usb/Bus.h"
#include "usb/ConfigurationSelector.h"
#include "usb/UsbTarget.h"

namespace {

using emu::realusb::RealDevice;

constexpr UCHAR kBulkIn = 0x81, kBulkOut = 0x02, kInterruptIn = 0x85;
constexpr LONGLONG kBoundMs = 10000;
constexpr uint16_t kTestEtherType = 0x88B6;
constexpr ULONG kReadLength = 1536;

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value ? value : "";
}

// One URB on its way: the IRP, and an event its completion sets.
struct Pending {
  URB urb{};
  PIRP irp = nullptr;
  KEVENT done;
  std::vector<UCHAR> buffer;

  static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<Pending*>(context)->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  void Send(PDEVICE_OBJECT lower) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp = IoAllocateIrp(lower->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, OnComplete, this, TRUE, TRUE, TRUE);
    IofCallDriver(lower, irp);
  }
  bool Wait(LONGLONG ms = kBoundMs) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10000;
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
  }
  bool Completed() { return KeReadStateEvent(&done) != 0; }
  NTSTATUS status() const { return irp->IoStatus.Status; }
  USBD_STATUS usbd() const { return urb.UrbHeader.Status; }
  ~Pending() {
    if (irp) IoFreeIrp(irp);
  }
};

// A packet socket on the gadget's usb0, for the test's own EtherType only.
class FarEnd {
 public:
  FarEnd() {
    system("ip link set usb0 up");
    fd_ = socket(AF_PACKET, SOCK_RAW, htons(kTestEtherType));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(kTestEtherType);
    address.sll_ifindex = static_cast<int>(if_nametoindex("usb0"));
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~FarEnd() {
    close(fd_);
    system("ip link set usb0 down");
  }
  bool ok() const { return fd_ >= 0; }
  void Send(const std::vector<UCHAR>& frame) { send(fd_, frame.data(), frame.size(), 0); }
  std::vector<UCHAR> Receive() {
    pollfd ready{fd_, POLLIN, 0};
    std::vector<UCHAR> frame(2048);
    while (poll(&ready, 1, static_cast<int>(kBoundMs)) > 0) {
      sockaddr_ll from{};
      socklen_t length = sizeof from;
      ssize_t got = recvfrom(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got > 0 && from.sll_pkttype != PACKET_OUTGOING) {
        frame.resize(static_cast<size_t>(got));
        return frame;
      }
    }
    return {};
  }

 private:
  int fd_ = -1;
};

// A frame of the test's EtherType whose bytes say its length and number.
std::vector<UCHAR> TestFrame(size_t length, UCHAR number, bool toHost) {
  std::vector<UCHAR> frame(length);
  const UCHAR host[6] = {0x02, 0xEC, 0, 0, 0, 0x01}, far[6] = {0x02, 0xEC, 0, 0, 0, 0x02};
  std::copy(toHost ? host : far, (toHost ? host : far) + 6, frame.begin());
  std::copy(toHost ? far : host, (toHost ? far : host) + 6, frame.begin() + 6);
  frame[12] = kTestEtherType >> 8;
  frame[13] = kTestEtherType & 0xFF;
  for (size_t i = 14; i < length; ++i) frame[i] = static_cast<UCHAR>(number * 7 + i);
  return frame;
}

class GadgetBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::optional<emu::realusb::DeviceSelector> selector =
        emu::realusb::ParseDeviceSelector(Env("ECM_GADGET_DEVICE"), &error);
    ASSERT_TRUE(selector) << "ECM_GADGET_DEVICE: " << error;
    // Opened before the emulated kernel starts, as ecmemu does.
    device_ = RealDevice::Open(*selector, true, &error);
    ASSERT_TRUE(device_) << error;
    kernel_ = std::make_unique<emu::Kernel>(emu::Mode::Threaded);
    bus_ = std::make_unique<emu::usb::Bus>(*device_);
    device_->SetOnGone([this] {
      ++goneCalls_;
      bus_->Unplug();
    });
    target_.LowerDevice = bus_->Pdo();
    target_.PhysicalDevice = bus_->Pdo();
    ASSERT_EQ(selector_.SelectConfiguration(target_, 0, 5000, 4096), STATUS_SUCCESS);
    ASSERT_EQ(selector_.PrepareSelectInterface(target_, 1, 1, 4096), STATUS_SUCCESS);
    ASSERT_EQ(selector_.SubmitSelectInterface(target_, 5000), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (bus_) {
      device_->SetOnGone(nullptr);
      if (!device_->gone()) {
        EXPECT_EQ(bus_->PendingIrps(), 0u) << "a test left transfers on the device";
      }
      device_->Close();
      bus_.reset();
    }
    selector_.ReleaseAll();
    selector_.descriptorCopy.Discard();
    if (kernel_) {
      kernel_->RunPending();
      kernel_->CheckClean("at the end of the test");
      kernel_->Shutdown();
      for (const emu::Violation& v : kernel_->verifier().Take()) ADD_FAILURE() << v.ToString();
    }
    kernel_.reset();
    device_.reset();
  }

  USBD_PIPE_HANDLE Pipe(UCHAR endpoint) {
    PUSBD_PIPE_INFORMATION pipe = selector_.FindPipeByAddress(endpoint);
    return pipe ? pipe->PipeHandle : nullptr;
  }
  void Transfer(Pending& p, UCHAR endpoint, std::vector<UCHAR> data, ULONG readLength = 0) {
    bool in = (endpoint & 0x80) != 0;
    p.buffer = in ? std::vector<UCHAR>(readLength) : std::move(data);
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& t = p.urb.UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof t;
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = Pipe(endpoint);
    t.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
    t.TransferBuffer = p.buffer.empty() ? nullptr : p.buffer.data();
    t.TransferBufferLength = static_cast<ULONG>(p.buffer.size());
    p.Send(bus_->Pdo());
  }
  void PipeRequest(Pending& p, USHORT function, UCHAR endpoint) {
    struct _URB_PIPE_REQUEST& r = p.urb.UrbPipeRequest;
    r.Hdr.Length = sizeof r;
    r.Hdr.Function = function;
    r.PipeHandle = Pipe(endpoint);
    p.Send(bus_->Pdo());
  }
  void ClassRequest(Pending& p, UCHAR request, USHORT value, ULONG inLength) {
    p.buffer.assign(inLength, 0);
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = p.urb.UrbControlVendorClassRequest;
    r.Hdr.Length = sizeof r;
    r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    r.TransferFlags = inLength ? USBD_TRANSFER_DIRECTION_IN : 0;
    r.TransferBuffer = inLength ? p.buffer.data() : nullptr;
    r.TransferBufferLength = inLength;
    r.Request = request;
    r.Value = value;
    r.Index = 0;
    p.Send(bus_->Pdo());
  }
  // Unbound from its controller, the gadget is unplugged as far as the host can tell.
  void SetGadgetBound(bool bound) {
    std::ofstream(Env("ECM_GADGET") + "/UDC") << (bound ? Env("ECM_GADGET_UDC") : "") << "\n";
  }

  std::unique_ptr<RealDevice> device_;
  std::unique_ptr<emu::Kernel> kernel_;
  std::unique_ptr<emu::usb::Bus> bus_;
  UsbTarget target_;
  ConfigurationSelector selector_;
  std::atomic<int> goneCalls_{0};
};

TEST_F(GadgetBackendTest, ControlRequestsEndWithThePlatformsStatuses) {
  struct Case {
    const char* what;
    UCHAR request;
    USHORT value;
    ULONG inLength;
    USBD_STATUS usbd;
    NTSTATUS status;
  } cases[] = {
      {"SET_ETHERNET_PACKET_FILTER", 0x43, 0x1C, 0, USBD_STATUS_SUCCESS, STATUS_SUCCESS},
      {"GET_ETHERNET_STATISTIC, which the gadget stalls", 0x44, 1, 4, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    Pending p;
    ClassRequest(p, c.request, c.value, c.inLength);
    ASSERT_TRUE(p.Wait()) << c.what;
    EXPECT_EQ(p.usbd(), c.usbd) << c.what;
    EXPECT_EQ(p.status(), c.status) << c.what;
  }
}

TEST_F(GadgetBackendTest, AbortCancelsEveryOutstandingReadBeforeItCompletes) {
  Pending reads[4];
  for (Pending& r : reads) Transfer(r, kBulkIn, {}, kReadLength);
  for (Pending& r : reads) EXPECT_FALSE(r.Completed()) << "the gadget sends nothing while usb0 is down";
  Pending abort;
  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, kBulkIn);
  ASSERT_TRUE(abort.Wait());
  EXPECT_EQ(abort.status(), STATUS_SUCCESS);
  for (Pending& r : reads) {
    ASSERT_TRUE(r.Completed()) << "a read outlived the abort of its pipe";
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(r.usbd(), USBD_STATUS_CANCELED);
  }
  // The endpoint is usable again: a pipe reset clears the halt on the real device.
  Pending reset;
  PipeRequest(reset, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kBulkIn);
  ASSERT_TRUE(reset.Wait());
  EXPECT_EQ(reset.status(), STATUS_SUCCESS);
}

TEST_F(GadgetBackendTest, ACancelledReadEndsAloneWhileTheOthersStay) {
  Pending first, second;
  Transfer(first, kBulkIn, {}, kReadLength);
  Transfer(second, kBulkIn, {}, kReadLength);
  IoCancelIrp(second.irp);
  ASSERT_TRUE(second.Wait());
  EXPECT_EQ(second.status(), STATUS_CANCELLED);
  EXPECT_EQ(second.usbd(), USBD_STATUS_CANCELED);
  EXPECT_FALSE(first.Completed());
  Pending abort;
  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, kBulkIn);
  ASSERT_TRUE(abort.Wait());
  EXPECT_TRUE(first.Completed());
}

TEST_F(GadgetBackendTest, FramesCrossWholeAndInOrderWithManyTransfersOutstanding) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  Pending filter;
  ClassRequest(filter, 0x43, 0x1C, 0);
  ASSERT_TRUE(filter.Wait());
  // Out: several frames in flight at once; a frame of whole 512-byte packets ends with a
  // zero-length transfer, or the gadget would join it to the next.
  const size_t outLengths[] = {60, 511, 512, 513, 1024, 1514};
  std::vector<std::unique_ptr<Pending>> out;
  for (size_t i = 0; i < std::size(outLengths); ++i) {
    out.push_back(std::make_unique<Pending>());
    Transfer(*out.back(), kBulkOut, TestFrame(outLengths[i], static_cast<UCHAR>(i), false));
    if (outLengths[i] % 512 == 0) {
      out.push_back(std::make_unique<Pending>());
      Transfer(*out.back(), kBulkOut, {});
    }
  }
  for (size_t i = 0; i < std::size(outLengths); ++i)
    EXPECT_EQ(far.Receive(), TestFrame(outLengths[i], static_cast<UCHAR>(i), false)) << "frame " << i;
  for (auto& p : out) {
    ASSERT_TRUE(p->Wait());
    EXPECT_EQ(p->status(), STATUS_SUCCESS);
  }
  // In: reads queued first, frames after; each read holds one frame, in the order sent. The
  // gadget's own frames (IPv6) may come between and are skipped.
  const size_t inLengths[] = {64, 511, 512, 1514};
  std::vector<std::unique_ptr<Pending>> reads;
  auto queueRead = [&] {
    reads.push_back(std::make_unique<Pending>());
    Transfer(*reads.back(), kBulkIn, {}, kReadLength);
  };
  for (int i = 0; i < 4; ++i) queueRead();
  for (size_t i = 0; i < std::size(inLengths); ++i) far.Send(TestFrame(inLengths[i], static_cast<UCHAR>(i), true));
  size_t next = 0;
  for (size_t r = 0; r < reads.size() && next < std::size(inLengths); ++r) {
    ASSERT_TRUE(reads[r]->Wait()) << "read " << r;
    ASSERT_EQ(reads[r]->status(), STATUS_SUCCESS);
    ULONG got = reads[r]->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    std::vector<UCHAR> frame(reads[r]->buffer.begin(), reads[r]->buffer.begin() + got);
    if (got >= 14 && frame[12] == (kTestEtherType >> 8) && frame[13] == (kTestEtherType & 0xFF)) {
      EXPECT_EQ(frame, TestFrame(inLengths[next], static_cast<UCHAR>(next), true)) << "frame " << next;
      ++next;
    }
    if (reads.size() - r <= 4) queueRead();
  }
  EXPECT_EQ(next, std::size(inLengths));
  Pending abort;
  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, kBulkIn);
  ASSERT_TRUE(abort.Wait());
}

TEST_F(GadgetBackendTest, AGoneDeviceEndsEverythingAsGoneAndRefusesWhatFollows) {
  Pending reads[3];
  for (Pending& r : reads) Transfer(r, kBulkIn, {}, kReadLength);
  // The gadget has its link notifications ready at once; the last read waits.
  auto notification = std::make_unique<Pending>();
  Transfer(*notification, kInterruptIn, {}, 16);
  while (notification->Wait(500)) {
    notification = std::make_unique<Pending>();
    Transfer(*notification, kInterruptIn, {}, 16);
  }
  SetGadgetBound(false);
  for (Pending* p : {&reads[0], &reads[1], &reads[2], notification.get()}) {
    ASSERT_TRUE(p->Wait()) << "a transfer outlived the device";
    EXPECT_EQ(p->status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(p->usbd(), USBD_STATUS_DEVICE_GONE);
  }
  for (int i = 0; i < 100 && !device_->gone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(device_->gone());
  EXPECT_EQ(goneCalls_, 1);
  Pending late;
  Transfer(late, kBulkIn, {}, kReadLength);
  ASSERT_TRUE(late.Completed()) << "a request to a gone device must fail at once";
  EXPECT_EQ(late.usbd(), USBD_STATUS_DEVICE_GONE);
  SetGadgetBound(true);
}

}  // namespace

