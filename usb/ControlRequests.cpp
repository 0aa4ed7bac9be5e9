// Requests that report the URB's own status: class and vendor requests, deconfiguration and
// the pipe requests.
#include "usb/UsbTarget.h"

NTSTATUS UsbTarget::ClassOrVendorRequest(USHORT function, UCHAR request, USHORT value, USHORT index,
                                         ULONG transferFlags, PVOID buffer, PMDL mdl, ULONG length,
                                         PULONG bytesMoved, ULONG timeoutMs, USBD_STATUS* usbdStatus) {
  CHECK_IRQL_PASSIVE();
  if (bytesMoved) *bytesMoved = 0;
  if (timeoutMs == 0) return STATUS_INVALID_PARAMETER;  // never sent without a time-out
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& classRequest = urb.UrbControlVendorClassRequest;
  classRequest.Hdr.Length = sizeof classRequest;
  classRequest.Hdr.Function = function;
  classRequest.Hdr.Status = kUsbdStatusNotSent;
  classRequest.TransferFlags = transferFlags;
  classRequest.TransferBufferLength = length;
  classRequest.TransferBuffer = buffer;
  classRequest.TransferBufferMDL = mdl;
  classRequest.Request = request;
  classRequest.Value = value;
  classRequest.Index = index;
  NTSTATUS status = SubmitUrb(&urb, timeoutMs);
  if (status == STATUS_SUCCESS && bytesMoved) *bytesMoved = classRequest.TransferBufferLength;
  if (usbdStatus) *usbdStatus = classRequest.Hdr.Status;
  return status;
}

NTSTATUS UsbTarget::Deconfigure(ULONG timeoutMs, USBD_STATUS* usbdStatus) {
  CHECK_IRQL_PASSIVE();
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  // A null configuration descriptor asks the bus driver for the unconfigured state.
  struct _URB_SELECT_CONFIGURATION& select = urb.UrbSelectConfiguration;
  select.Hdr.Length = sizeof select;
  select.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  NTSTATUS status = SubmitUrb(&urb, timeoutMs);
  if (usbdStatus) *usbdStatus = select.Hdr.Status;
  return status;
}

NTSTATUS UsbTarget::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipeHandle, ULONG timeoutMs,
                                USBD_STATUS* usbdStatus) {
  CHECK_IRQL_PASSIVE();
  URB urb;
  RtlZeroMemory(&urb, sizeof urb);
  struct _URB_PIPE_REQUEST& pipeRequest = urb.UrbPipeRequest;
  pipeRequest.Hdr.Length = sizeof pipeRequest;
  pipeRequest.Hdr.Function = function;
  pipeRequest.PipeHandle = pipeHandle;
  NTSTATUS status = SubmitUrb(&urb, timeoutMs);
  if (usbdStatus) *usbdStatus = pipeRequest.Hdr.Status;
  return status;
}
