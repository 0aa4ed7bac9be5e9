// Requests on the pipes of the selected configuration: reset with stall clearing, abort, and
// bulk or interrupt transfers, which are checked here and then wait on their pipe for the bus
// to decide them.
#include "emu/usb/UrbServer.h"

namespace emu::usb {
namespace {

constexpr UCHAR kClearFeature = 0x01;
constexpr UCHAR kEndpointRecipient = 0x02;
constexpr ULONG kValidTransferFlags = USBD_TRANSFER_DIRECTION | USBD_SHORT_TRANSFER_OK;

}  // namespace

Outcome UrbServer::PipeRequest(URB& urb) {
  struct _URB_PIPE_REQUEST& request = urb.UrbPipeRequest;
  if (auto refused = CheckLength(urb, sizeof request, "pipe request")) return *refused;
  auto pipe = pipes_.find(reinterpret_cast<uintptr_t>(request.PipeHandle));
  if (pipe == pipes_.end())
    return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE, "pipe request on a handle that is no open pipe");
  endpoint_ = pipe->second.endpointAddress;
  Outcome outcome;
  if (request.Hdr.Function == URB_FUNCTION_ABORT_PIPE) {
    // A failed abort (a host controller that does not answer) leaves the transfers queued.
    if (auto faulted = Fault(URB_FUNCTION_ABORT_PIPE, -1)) return *faulted;
    outcome.closed.push_back(pipe->first);  // its transfers end before the abort does
    return outcome;
  }
  // A reset under transfers still queued would lose them; the bus driver says busy.
  if (queuedOn_ && queuedOn_(pipe->first) > 0) return Fail(USBD_STATUS_ERROR_BUSY);
  setup_ = SetupPacket{kEndpointRecipient, kClearFeature, 0, endpoint_, 0};  // ENDPOINT_HALT
  if (auto faulted = Fault(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, -1)) return *faulted;
  function_.ClearHalt(endpoint_);
  pipe->second.halted = false;
  return outcome;
}

Outcome UrbServer::Transfer(URB& urb) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb.UrbBulkOrInterruptTransfer;
  if (auto refused = CheckLength(urb, sizeof transfer, "bulk or interrupt transfer")) return *refused;
  auto pipe = pipes_.find(reinterpret_cast<uintptr_t>(transfer.PipeHandle));
  if (pipe == pipes_.end())
    return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE, "transfer on a handle that is no open pipe");
  endpoint_ = pipe->second.endpointAddress;
  if (pipe->second.type != UsbdPipeTypeBulk && pipe->second.type != UsbdPipeTypeInterrupt)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "bulk or interrupt transfer on a pipe of another type");
  if (transfer.TransferFlags & ~kValidTransferFlags)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "unknown TransferFlags bits on a transfer");
  bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION) == USBD_TRANSFER_DIRECTION_IN;
  if (in != ((endpoint_ & 0x80) != 0))
    return Refuse(USBD_STATUS_INVALID_PARAMETER,
                  std::string("transfer direction ") + (in ? "IN" : "OUT") + " on endpoint " +
                      std::to_string(endpoint_) + (in ? ", an OUT endpoint" : ", an IN endpoint"));
  if (transfer.UrbLink) return Refuse(USBD_STATUS_INVALID_PARAMETER, "linked URBs are not served");
  UCHAR* data = nullptr;
  if (auto refused = CheckBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL,
                                 transfer.TransferBufferLength, data))
    return *refused;
  Outcome outcome;
  outcome.disposition = Disposition::Queued;
  outcome.pipe = pipe->first;
  return outcome;
}

OpenPipe* UrbServer::FindPipe(uintptr_t handle) {
  auto pipe = pipes_.find(handle);
  return pipe == pipes_.end() ? nullptr : &pipe->second;
}

void UrbServer::Unplug() {
  unplugged_ = true;
  Unconfigure();
}

}  // namespace emu::usb
