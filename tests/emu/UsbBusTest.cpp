// The emulated bus driver's own contract: the URB checks of the real bus driver (each refused
// at once with the USBD status in the URB and STATUS_INVALID_PARAMETER in the IRP, and
// reported as the driver's fault), descriptor answers, how and when IRPs complete, cancel,
// and removal.
#include "EmuTest.h"
#include "UrbSender.h"
#include "UsbDeviceBench.h"

#include <cstring>

#include "emu/kernel/Mdl.h"

using emu::usb::CompletionMode;
using emu::usb::ControlFault;

namespace {

constexpr ULONG kTestTag = 0x74736554;  // "Test"

class UsbBusTest : public EmuTest {
 protected:
  // Expects the URB refused inside the call with these statuses and a verifier report.
  void ExpectRefused(URB& urb, USBD_STATUS usbd, const std::string& why) {
    SentUrb sent;
    SendUrb(bench.Pdo(), urb, sent);
    EXPECT_EQ(sent.returned, STATUS_INVALID_PARAMETER) << why;
    EXPECT_TRUE(sent.completed);
    EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, usbd) << why;
    EXPECT_TRUE(TookViolation("urb", why)) << why;
  }
  UsbDeviceBench bench;
  UCHAR buffer[256] = {};
};

TEST_F(UsbBusTest, HeaderLengthMustBeTheFunctionsStructureSize) {
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
  urb.UrbHeader.Length -= 1;
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "Hdr.Length");
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST) + 4;
  urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "pipe request with Hdr.Length");
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbControlVendorClassRequest.Hdr.Length = 16;
  urb.UrbControlVendorClassRequest.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "class or vendor request with Hdr.Length 16");
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbSelectConfiguration.Hdr.Length = 16;
  urb.UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "select-configuration request with Hdr.Length 16");
}

TEST_F(UsbBusTest, UnknownFunctionIsRefused) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
  urb.UrbHeader.Function = 0x0077;
  ExpectRefused(urb, USBD_STATUS_INVALID_URB_FUNCTION, "URB function 0x77 is not served");
}

TEST_F(UsbBusTest, LengthWithoutBufferOrBeyondTheMdlIsRefused) {
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18);
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "with neither TransferBuffer nor TransferBufferMDL");
  PMDL mdl = emu::CreatePlatformMdl(buffer, 17, true);
  urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18);
  urb.UrbControlDescriptorRequest.TransferBufferMDL = mdl;
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "exceeds the MDL's ByteCount 17");
  emu::FreePlatformMdl(mdl);
}

TEST_F(UsbBusTest, DataGoesThroughTheMdlWhenOneIsGiven) {
  UCHAR other[18] = {};
  PMDL mdl = emu::CreatePlatformMdl(buffer, 18, false);
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, other, 18);
  urb.UrbControlDescriptorRequest.TransferBufferMDL = mdl;
  SentUrb sent;
  SendUrb(bench.Pdo(), urb, sent);
  EXPECT_EQ(sent.status, STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 18);
  EXPECT_EQ(other[0], 0);
  emu::FreePlatformMdl(mdl);
}

TEST_F(UsbBusTest, ClassRequestWithUnknownTransferFlagsIsRefused) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbControlVendorClassRequest.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  urb.UrbControlVendorClassRequest.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  urb.UrbControlVendorClassRequest.TransferFlags = 0x100;
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "unknown TransferFlags bits 0x100");
}

TEST_F(UsbBusTest, PipeRequestsAndTransfersNeedAnOpenPipesHandle) {
  for (USHORT function : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL}) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = function;
    urb.UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x5B000010);
    ExpectRefused(urb, USBD_STATUS_INVALID_PIPE_HANDLE, "no open pipe");
  }
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  urb.UrbBulkOrInterruptTransfer.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  urb.UrbBulkOrInterruptTransfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb.UrbBulkOrInterruptTransfer.PipeHandle = nullptr;
  ExpectRefused(urb, USBD_STATUS_INVALID_PIPE_HANDLE, "no open pipe");
}

TEST_F(UsbBusTest, DescriptorAnswerIsNoLongerThanAskedNorThanTheDeviceHas) {
  struct Case {
    UCHAR type, index;
    USHORT language;
    ULONG asked, expected;
  };
  for (Case c : {Case{USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 255, 18}, Case{USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8, 8},
                 Case{USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 255, 80}, Case{USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, 4},
                 Case{USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 255, 26}, Case{USB_STRING_DESCRIPTOR_TYPE, 3, 0x0409, 0, 0}}) {
    std::memset(buffer, 0xEE, sizeof buffer);
    URB urb = DescriptorUrb(c.type, c.index, c.language, buffer, c.asked);
    SentUrb sent;
    SendUrb(bench.Pdo(), urb, sent);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.expected) << int(c.type) << "/" << c.asked;
    EXPECT_EQ(buffer[c.expected], 0xEE) << "nothing written beyond the answer";
  }
}

TEST_F(UsbBusTest, MissingDescriptorsAndUnofferedLanguagesAreStalled) {
  struct Case {
    UCHAR type, index;
    USHORT language;
  };
  for (Case c : {Case{USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0}, Case{USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409},
                 Case{USB_STRING_DESCRIPTOR_TYPE, 3, 0x0407}, Case{6, 0, 0}}) {
    URB urb = DescriptorUrb(c.type, c.index, c.language, buffer, 64);
    SentUrb sent;
    SendUrb(bench.Pdo(), urb, sent);
    EXPECT_EQ(sent.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
  }
}

TEST_F(UsbBusTest, OtherControlCodesAreNotSupported) {
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
  PIRP irp = IoAllocateIrp(1, FALSE);
  SentUrb sent;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = 0x00220013;  // a port status query
  next->Parameters.Others.Argument1 = &urb;
  IoSetCompletionRoutine(irp, RecordUrbCompletion, &sent, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(bench.Pdo(), irp), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(sent.completed);
  IoFreeIrp(irp);
}

TEST_F(UsbBusTest, AnswersCompleteLaterAtDispatchLevelOrInsideTheCallWhenAsked) {
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
  SentUrb later;
  SendUrb(bench.Pdo(), urb, later, false);
  EXPECT_EQ(later.returned, STATUS_PENDING);
  EXPECT_FALSE(later.completed);
  kernel().RunPending();
  EXPECT_TRUE(later.completed);
  EXPECT_EQ(later.completionIrql, DISPATCH_LEVEL);
  IoFreeIrp(later.irp);

  bench.bus().SetCompletionMode(CompletionMode::Inline);
  SentUrb inside;
  SendUrb(bench.Pdo(), urb, inside, false);
  EXPECT_EQ(inside.returned, STATUS_SUCCESS);
  EXPECT_TRUE(inside.completed);
  EXPECT_EQ(inside.completionIrql, DISPATCH_LEVEL);
  IoFreeIrp(inside.irp);
}

TEST_F(UsbBusTest, UnansweredRequestEndsOnlyByCancellation) {
  bench.bus().InjectFault(ControlFault::NeverAnswer(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).Times(1));
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
  SentUrb sent;
  SendUrb(bench.Pdo(), urb, sent);
  kernel().AdvanceTimeMs(100000);
  EXPECT_FALSE(sent.completed);
  EXPECT_EQ(bench.bus().PendingIrps(), 1u);
  EXPECT_TRUE(IoCancelIrp(sent.irp)) << "the bus set a cancel routine";
  EXPECT_TRUE(sent.completed);
  EXPECT_EQ(sent.status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(bench.bus().PendingIrps(), 0u);
  IoFreeIrp(sent.irp);
}

TEST_F(UsbBusTest, DelayedAnswerCancelledEarlyLeavesNoTimerArmed) {
  bench.bus().InjectFault(ControlFault::Delay(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 300));
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
  SentUrb sent;
  SendUrb(bench.Pdo(), urb, sent);
  EXPECT_FALSE(sent.completed);
  EXPECT_TRUE(IoCancelIrp(sent.irp));
  EXPECT_EQ(sent.status, STATUS_CANCELLED);
  IoFreeIrp(sent.irp);
  // The end-of-test check would report a timer left armed.
}

TEST_F(UsbBusTest, RemovalEndsHeldRequestsWithTheStatusChosenAndFailsNewOnesAtOnce) {
  for (const emu::usb::RemovalStatus& removal : emu::usb::kRemovalStatuses) {
    bench.Plug(emu::devices::DefaultEcmProfile());
    bench.bus().InjectFault(ControlFault::NeverAnswer(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).Times(1));
    URB held = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    SentUrb first;
    SendUrb(bench.Pdo(), held, first);
    bench.bus().Unplug(removal);
    EXPECT_TRUE(first.completed) << removal.name;
    EXPECT_EQ(first.status, removal.irpStatus) << removal.name;
    EXPECT_EQ(held.UrbHeader.Status, removal.usbdStatus) << removal.name;
    IoFreeIrp(first.irp);
    URB late = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, 18);
    SentUrb second;
    SendUrb(bench.Pdo(), late, second, false);
    EXPECT_EQ(second.returned, STATUS_DEVICE_NOT_CONNECTED) << removal.name;
    IoFreeIrp(second.irp);
  }
}

// The host controller reaches a transfer buffer at DISPATCH_LEVEL, when the device answers:
// paged memory may be absent then, and a length past the allocation overruns it.
TEST_F(UsbBusTest, TransferBufferMustBeResidentAndInsideItsAllocation) {
  auto* paged = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kTestTag));
  URB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, paged + 8, 18);
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "lies in paged pool (tag Test)");
  auto* resident = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
  urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, resident, 18);
  ExpectRefused(urb, USBD_STATUS_INVALID_PARAMETER, "of 18 bytes reaches past its 16 allocated bytes");
  urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, resident, 16);
  SentUrb sent;
  SendUrb(bench.Pdo(), urb, sent);
  EXPECT_EQ(sent.status, STATUS_SUCCESS) << "resident and within its block";
  ExFreePoolWithTag(paged, kTestTag);
  ExFreePoolWithTag(resident, kTestTag);
}

// A device may leave a control request unanswered for good: only a cancel ends it.
TEST_F(UsbBusTest, DeviceThatNaksClassRequestsHoldsThemUntilCancelled) {
  bench.device().IgnoreControlRequests(true);
  ASSERT_TRUE(bench.device().SetConfiguration(1));
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb.UrbControlVendorClassRequest;
  request.Hdr.Length = sizeof request;
  request.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
  request.Request = emu::devices::kSetEthernetPacketFilter;
  request.Value = 0x0C;
  SentUrb sent;
  SendUrb(bench.Pdo(), urb, sent);
  EXPECT_FALSE(sent.completed);
  EXPECT_EQ(bench.bus().PendingIrps(), 1u);
  EXPECT_TRUE(IoCancelIrp(sent.irp));
  EXPECT_EQ(sent.status, STATUS_CANCELLED);
  EXPECT_TRUE(bench.device().packetFilterRequests().empty());
  IoFreeIrp(sent.irp);
}

}  // namespace
