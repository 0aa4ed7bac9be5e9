// The road down: synchronous requests with their time-out and cancellation, the USBD status
// handed back, allocation failure, and the asynchronous submission of the pipes.
#include "UsbTest.h"

using emu::usb::BusRequest;
using emu::usb::CompletionMode;
using emu::usb::ControlFault;

namespace {

class UsbTargetTest : public UsbTest {};

TEST_F(UsbTargetTest, DescriptorReadReturnsWhatTheDeviceSentAndNoMore) {
  UCHAR header[9] = {};
  ULONG received = 0;
  EXPECT_EQ(target.GetConfigurationDescriptor(0, header, sizeof header, &received, 500), STATUS_SUCCESS);
  EXPECT_EQ(received, 9u);
  EXPECT_EQ(header[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
  EXPECT_EQ(header[2] | header[3] << 8, 80);
  std::vector<BusRequest> requests = bus().Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].setup->bmRequestType, 0x80);
  EXPECT_EQ(requests[0].setup->wValue, 0x0200);
  EXPECT_EQ(requests[0].setup->wLength, 9);
}

TEST_F(UsbTargetTest, TimedOutRequestReturnsOnlyAfterItsCancelledIrpCameBack) {
  bus().InjectFault(ControlFault::NeverAnswer(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE));
  UCHAR header[9];
  ULONG received = 77;
  uint64_t start = kernel().NowMs();
  EXPECT_EQ(target.GetConfigurationDescriptor(0, header, sizeof header, &received, 500), STATUS_IO_TIMEOUT);
  EXPECT_EQ(kernel().NowMs() - start, 500u);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(bus().PendingIrps(), 0u) << "the IRP was cancelled and completed before the call returned";
  // The IRP went back to the pool: the end-of-test check finds no IRP left.
}

TEST_F(UsbTargetTest, LateAnswerWithinTheTimeOutSucceeds_BeyondItTimesOut) {
  bus().InjectFault(ControlFault::Delay(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 499).Times(1));
  bus().InjectFault(ControlFault::Delay(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 501).Times(1));
  UCHAR header[9];
  uint64_t start = kernel().NowMs();
  EXPECT_EQ(target.GetConfigurationDescriptor(0, header, sizeof header, nullptr, 500), STATUS_SUCCESS);
  EXPECT_EQ(kernel().NowMs() - start, 499u);
  EXPECT_EQ(target.GetConfigurationDescriptor(0, header, sizeof header, nullptr, 500), STATUS_IO_TIMEOUT);
  EXPECT_EQ(bus().PendingIrps(), 0u);
}

TEST_F(UsbTargetTest, ZeroTimeOutWaitsAsLongAsTheDeviceTakes) {
  bus().InjectFault(ControlFault::Delay(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 60000));
  UCHAR header[9];
  ULONG received = 0;
  uint64_t start = kernel().NowMs();
  EXPECT_EQ(target.GetConfigurationDescriptor(0, header, sizeof header, &received, 0), STATUS_SUCCESS);
  EXPECT_EQ(kernel().NowMs() - start, 60000u);
  EXPECT_EQ(received, 9u);
}

TEST_F(UsbTargetTest, IrpAllocationFailureSendsNothingAndLeavesTheUsbdStatusUnset) {
  USBD_STATUS usbd = 0;
  kernel().faults().FailNth(emu::FaultPoint::Irp, 1);
  EXPECT_EQ(target.Deconfigure(500, &usbd), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(usbd, kUsbdStatusNotSent);
  usbd = 0;
  kernel().faults().FailNth(emu::FaultPoint::Irp, 1);
  EXPECT_EQ(target.ClassOrVendorRequest(URB_FUNCTION_CLASS_INTERFACE, 0x43, 1, 0, 0, nullptr, nullptr, 0, nullptr,
                                        500, &usbd),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(usbd, kUsbdStatusNotSent);
  for (USHORT function : {URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, URB_FUNCTION_ABORT_PIPE}) {
    usbd = 0;
    kernel().faults().FailNth(emu::FaultPoint::Irp, 1);
    EXPECT_EQ(target.PipeRequest(function, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 500, &usbd),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(usbd, kUsbdStatusNotSent);
  }
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(UsbTargetTest, FailedRequestHandsBackTheIrpStatusAndTheUrbStatus) {
  const NTSTATUS kDeviceError = static_cast<NTSTATUS>(0xC000009C);
  bus().InjectFault(ControlFault::Fail(URB_FUNCTION_CLASS_INTERFACE, kDeviceError, USBD_STATUS_CRC));
  USBD_STATUS usbd = 0;
  ULONG moved = 5;
  UCHAR data[4] = {1, 2, 3, 4};
  EXPECT_EQ(target.ClassOrVendorRequest(URB_FUNCTION_CLASS_INTERFACE, 0x40, 0, 0, USBD_TRANSFER_DIRECTION_OUT, data,
                                        nullptr, sizeof data, &moved, 500, &usbd),
            kDeviceError);
  EXPECT_EQ(usbd, USBD_STATUS_CRC);
  EXPECT_EQ(moved, 0u);
}

TEST_F(UsbTargetTest, ClassRequestGoesOutWithTheRequestTypeTheFunctionCodeImplies) {
  USBD_STATUS usbd = 0;
  // The device is not configured, so it stalls the filter request.
  EXPECT_EQ(target.ClassOrVendorRequest(URB_FUNCTION_CLASS_INTERFACE, 0x43, 0x000E, 0, 0, nullptr, nullptr, 0,
                                        nullptr, 500, &usbd),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
  UCHAR in[2];
  EXPECT_EQ(target.ClassOrVendorRequest(URB_FUNCTION_VENDOR_DEVICE, 0x01, 2, 3, USBD_TRANSFER_DIRECTION_IN, in,
                                        nullptr, sizeof in, nullptr, 500, nullptr),
            STATUS_UNSUCCESSFUL);
  std::vector<BusRequest> requests = bus().Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].setup->bmRequestType, 0x21);
  EXPECT_EQ(requests[0].setup->bRequest, 0x43);
  EXPECT_EQ(requests[0].setup->wValue, 0x000E);
  EXPECT_EQ(requests[1].setup->bmRequestType, 0xC0);
  EXPECT_EQ(requests[1].setup->wIndex, 3);
  EXPECT_EQ(requests[1].setup->wLength, 2);
}

TEST_F(UsbTargetTest, ClassRequestWithoutTimeOutIsRefusedBeforeAnythingIsSent) {
  USBD_STATUS usbd = 0x1234;
  ULONG moved = 9;
  EXPECT_EQ(target.ClassOrVendorRequest(URB_FUNCTION_CLASS_INTERFACE, 0x43, 0, 0, 0, nullptr, nullptr, 0, &moved, 0,
                                        &usbd),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(usbd, 0x1234);
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(UsbTargetTest, DeconfigureOfAnUnconfiguredDeviceSucceeds) {
  USBD_STATUS usbd = 0x1234;
  EXPECT_EQ(target.Deconfigure(500, &usbd), STATUS_SUCCESS);
  EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
  EXPECT_FALSE(bus().Configured());
}

TEST_F(UsbTargetTest, PipeRequestOnAStaleHandleIsRefusedByTheBus) {
  USBD_STATUS usbd = 0;
  EXPECT_EQ(target.PipeRequest(URB_FUNCTION_ABORT_PIPE, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 500, &usbd),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_TRUE(TookViolation("urb", "no open pipe"));
}

TEST_F(UsbTargetTest, RequestsCompletedInsideTheCallAreWaitedForTheSameWay) {
  bus().SetCompletionMode(CompletionMode::Inline);
  UCHAR device[18];
  ULONG received = 0;
  EXPECT_EQ(target.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device, &received, 500),
            STATUS_SUCCESS);
  EXPECT_EQ(received, 18u);
  EXPECT_EQ(device[1], USB_DEVICE_DESCRIPTOR_TYPE);
}

TEST_F(UsbTargetTest, TargetWithoutLowerDeviceRefusesWithoutSending) {
  target.LowerDevice = nullptr;
  USBD_STATUS usbd = 0;
  EXPECT_EQ(target.Deconfigure(500, &usbd), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(usbd, kUsbdStatusNotSent);
}

struct AsyncCompletion {
  int calls = 0;
  NTSTATUS status = 0;
  USBD_STATUS usbdAtCompletion = 0;
  PURB urb = nullptr;
};

NTSTATUS NTAPI OnAsyncComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* c = static_cast<AsyncCompletion*>(context);
  c->calls++;
  c->status = irp->IoStatus.Status;
  c->usbdAtCompletion = c->urb->UrbHeader.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(UsbTargetTest, AsyncSubmissionCompletesThroughTheCallersRoutineOnce) {
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  UCHAR buffer[18];
  urb.UrbControlDescriptorRequest.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  urb.UrbControlDescriptorRequest.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb.UrbControlDescriptorRequest.Hdr.Status = 0x1234;
  urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
  urb.UrbControlDescriptorRequest.TransferBufferLength = sizeof buffer;
  urb.UrbControlDescriptorRequest.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  AsyncCompletion completion;
  completion.urb = &urb;
  PIRP irp = IoAllocateIrp(target.LowerDevice->StackSize, FALSE);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(target.SubmitUrbAsync(&urb, irp, OnAsyncComplete, &completion), STATUS_PENDING);
  KfLowerIrql(old);
  EXPECT_EQ(urb.UrbHeader.Status, kUsbdStatusNotSent) << "set before sending, not yet answered";
  EXPECT_EQ(completion.calls, 0);
  kernel().RunPending();
  EXPECT_EQ(completion.calls, 1);
  EXPECT_EQ(completion.status, STATUS_SUCCESS);
  EXPECT_EQ(completion.usbdAtCompletion, USBD_STATUS_SUCCESS);
  IoFreeIrp(irp);
}

}  // namespace
