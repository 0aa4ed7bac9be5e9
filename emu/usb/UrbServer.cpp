// URB dispatch by function, the checks every request shares, and the control requests that
// reach the device: GET_DESCRIPTOR and the class and vendor requests.
#include "emu/usb/UrbServer.h"

#include <algorithm>
#include <cstring>

#include "emu/kernel/Kernel.h"
#include "emu/usb/UrbMemory.h"
#include "emu/usb/UsbdStatus.h"

namespace emu::usb {
namespace {

constexpr UCHAR kGetDescriptor = 0x06;
constexpr ULONG kLargestControlTransfer = 0xFFFF;  // wLength is 16 bits
constexpr ULONG kValidTransferFlags = USBD_TRANSFER_DIRECTION | USBD_SHORT_TRANSFER_OK | 0x4 | 0x8;

std::string Hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// bmRequestType bits 0-6 of a class or vendor function: type and recipient.
std::optional<UCHAR> RequestTypeOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_CLASS_DEVICE: return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE: return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT: return 0x22;
    case URB_FUNCTION_CLASS_OTHER: return 0x23;
    case URB_FUNCTION_VENDOR_DEVICE: return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE: return 0x41;
    case URB_FUNCTION_VENDOR_ENDPOINT: return 0x42;
    case URB_FUNCTION_VENDOR_OTHER: return 0x43;
    default: return std::nullopt;
  }
}

}  // namespace

UrbServer::UrbServer(UsbFunction& function) : function_(function) {}

Outcome UrbServer::Serve(URB& urb) {
  setup_.reset();
  endpoint_ = 0;
  delayMs_ = 0;
  hit_.reset();
  ++numbered_;
  if (armed_ && armed_->number == numbered_) {
    hit_ = armed_->kind;
    armed_.reset();
  }
  bool gone = hit_ == UrbFaultKind::DeviceGone && !unplugged_;
  if (gone) Unplug();
  USHORT function = urb.UrbHeader.Function;
  Outcome outcome;
  if (unplugged_) {
    outcome = Fail(USBD_STATUS_DEVICE_GONE);
    outcome.refused = true;  // a gone device fails new requests at once
  } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    outcome = GetDescriptor(urb);
  } else if (RequestTypeOf(function)) {
    outcome = ClassOrVendor(urb);
  } else if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    outcome = SelectConfiguration(urb);
  } else if (function == URB_FUNCTION_SELECT_INTERFACE) {
    outcome = SelectInterface(urb);
  } else if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_ABORT_PIPE) {
    outcome = PipeRequest(urb);
  } else if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
    outcome = Transfer(urb);
  } else {
    outcome = Refuse(USBD_STATUS_INVALID_URB_FUNCTION, "URB function " + Hex(function) + " is not served");
  }
  if (delayMs_ && outcome.disposition == Disposition::Complete && !outcome.refused) {
    outcome.disposition = Disposition::Delayed;
    outcome.delayMs = delayMs_;
  }
  outcome.number = numbered_;
  outcome.deviceGone = gone;
  // Stalling a request for good and leaving the bus are for control requests and any URB.
  if (outcome.disposition == Disposition::Queued && hit_ != UrbFaultKind::StallRequest &&
      hit_ != UrbFaultKind::DeviceGone)
    outcome.transferFault = hit_;
  USBD_STATUS logged = outcome.disposition == Disposition::Complete ? outcome.status : USBD_STATUS_PENDING;
  lastServed_ = BusRequest{function, logged, setup_, endpoint_, numbered_};
  if (recordTransfers_ || function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) requests_.push_back(lastServed_);
  return outcome;
}

Outcome UrbServer::Refuse(USBD_STATUS status, const std::string& why) {
  Kernel::Current().verifier().Report("urb", "the bus driver refuses the URB: " + why);
  Outcome outcome = Fail(status);
  outcome.refused = true;
  return outcome;
}

std::optional<Outcome> UrbServer::CheckLength(const URB& urb, size_t expected, const char* what) {
  if (urb.UrbHeader.Length == expected) return std::nullopt;
  return Refuse(USBD_STATUS_INVALID_PARAMETER, std::string(what) + " with Hdr.Length " +
                                                   std::to_string(urb.UrbHeader.Length) + ", expected " +
                                                   std::to_string(expected));
}

Outcome UrbServer::Fail(USBD_STATUS status) {
  Outcome outcome;
  outcome.status = status;
  outcome.irpStatus = IrpStatusFor(status);
  return outcome;
}

std::optional<Outcome> UrbServer::UrbFaultOutcome(USHORT function, int detail) {
  if (!hit_) return std::nullopt;
  switch (*hit_) {
    case UrbFaultKind::Stall: return Fail(USBD_STATUS_STALL_PID);
    case UrbFaultKind::TransactionError: return Fail(TransactionErrorFor(numbered_));
    case UrbFaultKind::NeverAnswer: {
      Outcome outcome;
      outcome.disposition = Disposition::NeverAnswered;
      return outcome;
    }
    case UrbFaultKind::StallRequest:
      faults_.Add(ControlFault::Stall(function).Detail(detail));
      return Fail(USBD_STATUS_STALL_PID);
    case UrbFaultKind::DeviceGone:
    case UrbFaultKind::ShortAnswer: return std::nullopt;
  }
  return std::nullopt;
}

std::optional<Outcome> UrbServer::Fault(USHORT function, int detail) {
  if (auto faulted = UrbFaultOutcome(function, detail)) return faulted;
  std::optional<ControlFault> fault = faults_.Take(function, detail);
  if (!fault) return std::nullopt;
  if (fault->kind == FaultKind::Delay) {
    delayMs_ = fault->delayMs;  // served as usual, answered late
    return std::nullopt;
  }
  Outcome outcome;
  outcome.status = fault->usbdStatus;
  outcome.irpStatus = fault->irpStatus;
  if (fault->kind == FaultKind::NeverAnswer) outcome.disposition = Disposition::NeverAnswered;
  return outcome;
}

std::optional<Outcome> UrbServer::CheckBuffer(PVOID buffer, PMDL mdl, ULONG length, UCHAR*& data) {
  data = nullptr;
  if (length == 0) return std::nullopt;
  if (mdl && length > MmGetMdlByteCount(mdl))
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "TransferBufferLength " + std::to_string(length) +
                                                     " exceeds the MDL's ByteCount " +
                                                     std::to_string(MmGetMdlByteCount(mdl)));
  if (!mdl && !buffer)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "TransferBufferLength " + std::to_string(length) +
                                                     " with neither TransferBuffer nor TransferBufferMDL");
  data = TransferBytes(buffer, mdl);
  return CheckResident(data, length, "the transfer buffer");
}

std::optional<Outcome> UrbServer::CheckResident(const UCHAR* data, size_t length, const char* what) {
  std::optional<Pool::Block> block = Kernel::Current().pool().Containing(data);
  if (!block) return std::nullopt;
  if (block->allocation.paged())
    return Refuse(USBD_STATUS_INVALID_PARAMETER, std::string(what) + " lies in paged pool (tag " +
                                                     TagText(block->allocation.tag) + ")");
  size_t room = block->allocation.size - static_cast<size_t>(data - static_cast<const UCHAR*>(block->start));
  if (length > room)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, std::string(what) + " of " + std::to_string(length) +
                                                     " bytes reaches past its " +
                                                     std::to_string(room) + " allocated bytes (tag " +
                                                     TagText(block->allocation.tag) + ")");
  return std::nullopt;
}

Outcome UrbServer::GetDescriptor(URB& urb) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb.UrbControlDescriptorRequest;
  if (auto refused = CheckLength(urb, sizeof request, "descriptor request")) return *refused;
  if (request.UrbLink) return Refuse(USBD_STATUS_INVALID_PARAMETER, "linked URBs are not served");
  if (request.TransferBufferLength > kLargestControlTransfer)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "descriptor request longer than 65535 bytes");
  UCHAR* data = nullptr;
  if (auto refused = CheckBuffer(request.TransferBuffer, request.TransferBufferMDL,
                                 request.TransferBufferLength, data))
    return *refused;
  setup_ = SetupPacket{kRequestDirectionIn, kGetDescriptor,
                       static_cast<USHORT>(request.DescriptorType << 8 | request.Index), request.LanguageId,
                       static_cast<USHORT>(request.TransferBufferLength)};
  if (auto faulted = Fault(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, request.DescriptorType)) return *faulted;
  std::optional<std::vector<UCHAR>> descriptor =
      function_.Descriptor(request.DescriptorType, request.Index, request.LanguageId);
  if (!descriptor) return Fail(function_.ControlFailure());
  // Never more than asked for, never more than the device has.
  ULONG moved = static_cast<ULONG>(std::min<size_t>(request.TransferBufferLength, descriptor->size()));
  if (ShortensAnswer()) moved /= 2;
  if (moved) std::memcpy(data, descriptor->data(), moved);
  request.TransferBufferLength = moved;
  return Outcome{};
}

Outcome UrbServer::ClassOrVendor(URB& urb) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb.UrbControlVendorClassRequest;
  if (auto refused = CheckLength(urb, sizeof request, "class or vendor request")) return *refused;
  if (request.TransferFlags & ~kValidTransferFlags)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "unknown TransferFlags bits " + Hex(request.TransferFlags));
  if (request.UrbLink) return Refuse(USBD_STATUS_INVALID_PARAMETER, "linked URBs are not served");
  if (request.TransferBufferLength > kLargestControlTransfer)
    return Refuse(USBD_STATUS_INVALID_PARAMETER, "control transfer longer than 65535 bytes");
  UCHAR* data = nullptr;
  if (auto refused = CheckBuffer(request.TransferBuffer, request.TransferBufferMDL,
                                 request.TransferBufferLength, data))
    return *refused;
  bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION) == USBD_TRANSFER_DIRECTION_IN;
  UCHAR requestType = static_cast<UCHAR>(*RequestTypeOf(request.Hdr.Function) | (in ? kRequestDirectionIn : 0));
  setup_ = SetupPacket{requestType, request.Request, request.Value, request.Index,
                       static_cast<USHORT>(request.TransferBufferLength)};
  if (auto faulted = Fault(request.Hdr.Function, request.Request)) return *faulted;
  // The device sees a copy, so it can never reach past the data stage.
  std::vector<UCHAR> stage(request.TransferBufferLength);
  if (!in && !stage.empty()) std::memcpy(stage.data(), data, stage.size());
  ControlAnswer answer = function_.ClassOrVendorRequest(*setup_, stage.data());
  if (answer.nak) {
    Outcome waiting;
    waiting.disposition = Disposition::NeverAnswered;
    return waiting;
  }
  if (answer.stall) return Fail(function_.ControlFailure());
  ULONG moved = std::min<ULONG>(answer.bytes, request.TransferBufferLength);
  if (in && ShortensAnswer()) moved /= 2;
  if (in && moved) std::memcpy(data, stage.data(), moved);
  request.TransferBufferLength = moved;
  return Outcome{};
}

uintptr_t UrbServer::NewHandle() {
  // Handles are never reused, so a stale one is always recognised as unknown.
  lastHandle_ += 0x10;
  return 0x5B000000u + lastHandle_;
}

}  // namespace emu::usb
