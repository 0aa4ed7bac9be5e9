// What the bus shows its observer of each URB: the request as the server understood it when
// it arrived, and the buffer's bytes when the IRP completes.
#include "emu/usb/Bus.h"
#include "emu/usb/UrbMemory.h"

namespace emu::usb {
namespace {

struct UrbBuffer {
  UCHAR* data = nullptr;
  size_t length = 0;
  bool in = false;
};

template <class Request>
UrbBuffer BufferOf(Request& request, bool in) {
  UrbBuffer buffer;
  buffer.in = in;
  buffer.length = request.TransferBufferLength;
  buffer.data = TransferBytes(request.TransferBuffer, request.TransferBufferMDL);
  if (!buffer.data) buffer.length = 0;
  return buffer;
}

// The data stage of the URBs that have one; checked by the server before it is read here.
UrbBuffer BufferOf(URB& urb) {
  switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return BufferOf(urb.UrbControlDescriptorRequest, true);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return BufferOf(urb.UrbBulkOrInterruptTransfer,
                      (urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0);
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
      return BufferOf(urb.UrbControlVendorClassRequest,
                      (urb.UrbControlVendorClassRequest.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0);
    default:
      return UrbBuffer{};
  }
}

}  // namespace

void Bus::NoteSubmittedLocked(PIRP irp, const Outcome& outcome) {
  BusObserver* observer = observer_;
  if (!observer) return;
  URB& urb = *UrbOf(irp);
  const BusRequest& request = server_.lastServed();
  UrbSubmission submission;
  submission.irp = irp;
  submission.function = request.function;
  submission.setup = request.setup;
  if (request.endpoint) submission.endpoint = request.endpoint;
  if (outcome.disposition == Disposition::Queued)
    if (const OpenPipe* pipe = server_.FindPipe(outcome.pipe)) submission.pipeType = pipe->type;
  if (!outcome.refused) {
    UrbBuffer buffer = BufferOf(urb);
    if (!buffer.in) {
      submission.data = buffer.data;
      submission.length = buffer.length;
    }
  }
  observer->OnUrbSubmitted(submission);
}

void Bus::NoteCompleted(PIRP irp, USBD_STATUS status) {
  BusObserver* observer = observer_;
  if (!observer) return;
  URB& urb = *UrbOf(irp);
  UrbCompletion completion;
  completion.irp = irp;
  completion.function = urb.UrbHeader.Function;
  completion.status = status;
  // A refused URB's buffer fields may be anything; a failed transfer moved nothing to report.
  if (USBD_SUCCESS(status)) {
    UrbBuffer buffer = BufferOf(urb);
    completion.data = buffer.data;
    completion.length = buffer.length;
  }
  observer->OnUrbCompleted(completion);
}

}  // namespace emu::usb
