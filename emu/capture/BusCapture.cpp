#include "emu/capture/BusCapture.h"

#include "emu/kernel/Kernel.h"

namespace emu::capture {
namespace {

constexpr uint8_t kDirectionIn = 0x80;

uint64_t NowUs() { return Kernel::Current().scheduler().Now() / 10; }

uint64_t IrpId(const void* irp) { return reinterpret_cast<uintptr_t>(irp); }

bool IsPipeRequest(USHORT function) {
  return function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
}

void PutSetup(const usb::SetupPacket& setup, uint8_t bytes[8]) {
  bytes[0] = setup.bmRequestType;
  bytes[1] = setup.bRequest;
  bytes[2] = static_cast<uint8_t>(setup.wValue);
  bytes[3] = static_cast<uint8_t>(setup.wValue >> 8);
  bytes[4] = static_cast<uint8_t>(setup.wIndex);
  bytes[5] = static_cast<uint8_t>(setup.wIndex >> 8);
  bytes[6] = static_cast<uint8_t>(setup.wLength);
  bytes[7] = static_cast<uint8_t>(setup.wLength >> 8);
}

}  // namespace

void BusCapture::OnUrbSubmitted(const usb::UrbSubmission& submission) {
  uint64_t time = NowUs();
  uint64_t id = IrpId(submission.irp);
  Submitted record{Kind::IrpInfo, submission.endpoint.value_or(0), TransferType::IrpInfo, false};
  if (submission.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && submission.endpoint) {
    record.kind = Kind::Transfer;
    record.type = submission.pipeType == UsbdPipeTypeInterrupt ? TransferType::Interrupt : TransferType::Bulk;
    record.in = (record.endpoint & kDirectionIn) != 0;
  } else if (submission.setup && !IsPipeRequest(submission.function)) {
    record.kind = Kind::Control;
    record.type = TransferType::Control;
    record.in = (submission.setup->bmRequestType & kDirectionIn) != 0;
  }
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    pending_[submission.irp] = record;
  }
  const uint8_t* out = record.in ? nullptr : submission.data;
  size_t outLength = record.in ? 0 : submission.length;
  if (record.kind == Kind::Transfer && record.type == TransferType::Bulk && outLength && ethernet_)
    ethernet_->Frame(out, outLength, time);
  if (!usb_) return;
  switch (record.kind) {
    case Kind::Control: {
      uint8_t setup[8];
      PutSetup(*submission.setup, setup);
      usb_->ControlSetup(id, submission.function, setup, out, outLength, time);
      break;
    }
    case Kind::Transfer:
      usb_->TransferSubmit(id, record.endpoint, record.type, out, outLength, time);
      break;
    case Kind::IrpInfo:
      usb_->IrpInfo(id, submission.function, record.endpoint, false, 0, time);
      break;
  }
}

void BusCapture::OnUrbCompleted(const usb::UrbCompletion& completion) {
  uint64_t time = NowUs();
  Submitted record;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    auto found = pending_.find(completion.irp);
    if (found == pending_.end()) return;  // submitted before the capture began
    record = found->second;
    pending_.erase(found);
  }
  if (!usb_) return;
  uint64_t id = IrpId(completion.irp);
  auto status = static_cast<int32_t>(completion.status);
  const uint8_t* in = record.in ? completion.data : nullptr;
  size_t inLength = record.in ? completion.length : 0;
  switch (record.kind) {
    case Kind::Control:
      usb_->ControlComplete(id, completion.function, record.in, status, in, inLength, time);
      break;
    case Kind::Transfer:
      usb_->TransferComplete(id, record.endpoint, record.type, status, in, inLength, time);
      break;
    case Kind::IrpInfo:
      usb_->IrpInfo(id, completion.function, record.endpoint, true, status, time);
      break;
  }
}

}  // namespace emu::capture
