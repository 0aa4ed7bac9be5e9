// The bus's data side: who decides how a waiting bulk or interrupt transfer ends (a test's
// script or explicit word, else the device model), what the decision writes into the URB,
// and when the IRP then completes.
#include <algorithm>
#include <cstring>

#include "emu/kernel/Kernel.h"
#include "emu/usb/Bus.h"
#include "emu/usb/UrbMemory.h"
#include "emu/usb/UsbdStatus.h"

namespace emu::usb {
namespace {

constexpr UCHAR kDirectionIn = 0x80;

// The URB was checked when it arrived.
UCHAR* TransferMemory(const struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer) {
  return TransferBytes(transfer.TransferBuffer, transfer.TransferBufferMDL);
}

}  // namespace

thread_local const Bus* Bus::inside_ = nullptr;

TransferResult TransferResult::Data(std::vector<UCHAR> bytes) {
  TransferResult result;
  result.data = std::move(bytes);
  return result;
}

TransferResult TransferResult::Status(USBD_STATUS status) {
  TransferResult result;
  result.status = status;
  return result;
}

TransferResult TransferResult::IrpFailure(NTSTATUS irpStatus) {
  TransferResult result;
  result.irpStatus = irpStatus;
  return result;
}

void Bus::OnDeviceWake() {
  // The device answers under this bus's lock on this thread: the offer running here goes on
  // until nothing more can be decided, so it picks the news up.
  if (inside_ == this) return;
  std::vector<Held> now;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    OfferLocked(now);
  }
  CompleteEach(now);
}

void Bus::OfferLocked(std::vector<Held>& now) {
  DeviceCall call(this);
  if (schedule_) {
    // Whatever changed may let an endpoint that NAKed answer now.
    schedule_->Wake(Kernel::Current().scheduler().Now());
    ArmFrameTimerLocked();
  }
  // A decision can let another endpoint answer (a device that echoes), so go round until one
  // pass decides nothing.
  for (bool progress = true; progress;) {
    progress = false;
    waitingPipes_.clear();
    for (auto it = held_.begin(); it != held_.end();) {
      auto next = std::next(it);  // a decision moves or removes 'it'
      if (it->as == HeldAs::Transfer && !it->started &&
          std::find(waitingPipes_.begin(), waitingPipes_.end(), it->pipe) == waitingPipes_.end()) {
        if (OfferHeadLocked(it, now))
          progress = true;
        else
          waitingPipes_.push_back(it->pipe);
      }
      it = next;
    }
  }
}

bool Bus::OfferHeadLocked(HeldList::iterator it, std::vector<Held>& now) {
  OpenPipe* pipe = server_.FindPipe(it->pipe);
  if (!pipe || pipe->halted) return false;  // a halted endpoint no longer talks to the device
  if (it->fault && *it->fault != UrbFaultKind::ShortAnswer) return DecideByFaultLocked(it, now);
  auto script = scripts_.find(it->endpoint);
  if (script != scripts_.end() && !script->second.empty()) {
    ScriptedTransfer entry = std::move(script->second.front());
    script->second.pop_front();
    DecideLocked(it, entry.result, entry.when, entry.delayMs, now);
    return true;
  }
  if (heldEndpoints_.count(it->endpoint)) return false;
  if (schedule_) return false;  // the schedule asks the device as the packets go
  std::optional<TransferResult> answer = AskDeviceLocked(it, *pipe);
  if (!answer) return false;
  DecideLocked(it, *answer, DeviceAnswerWhenLocked(), 0, now);
  return true;
}

std::optional<TransferResult> Bus::AskDeviceLocked(HeldList::iterator it, const OpenPipe& pipe) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = UrbOf(it->irp)->UrbBulkOrInterruptTransfer;
  bool in = (it->endpoint & kDirectionIn) != 0;
  TransferRequest request{it->endpoint, pipe.maximumPacketSize, transfer.TransferBufferLength,
                          in ? nullptr : TransferMemory(transfer), pipe.type};
  std::optional<TransferResult> answer = function_.ServeTransfer(request);
  if (answer && it->fault == UrbFaultKind::ShortAnswer) answer->data.resize(answer->data.size() / 2);
  return answer;
}

bool Bus::DecideByFaultLocked(HeldList::iterator it, std::vector<Held>& now) {
  switch (*it->fault) {
    case UrbFaultKind::Stall:
      DecideLocked(it, TransferResult::Stall(), DeviceAnswerWhenLocked(), 0, now);
      return true;
    case UrbFaultKind::TransactionError:
      DecideLocked(it, TransferResult::Status(TransactionErrorFor(it->number)), DeviceAnswerWhenLocked(), 0, now);
      return true;
    default:
      return false;  // NAK for ever: only a cancel or an abort of the pipe ends it
  }
}

bool Bus::FailIfHaltedLocked(HeldList::iterator it, std::vector<Held>& now) {
  OpenPipe* pipe = server_.FindPipe(it->pipe);
  if (!pipe || !pipe->halted) return false;
  DecideLocked(it, TransferResult::Status(USBD_STATUS_ENDPOINT_HALTED), DeviceAnswerWhenLocked(), 0, now);
  return true;
}

void Bus::WriteResultLocked(HeldList::iterator it, const TransferResult& result) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = UrbOf(it->irp)->UrbBulkOrInterruptTransfer;
  USBD_STATUS status = result.status;
  ULONG room = transfer.TransferBufferLength;
  if (it->endpoint & kDirectionIn) {
    auto sent = static_cast<ULONG>(std::min<size_t>(room, result.data.size()));
    if (sent) std::memcpy(TransferMemory(transfer), result.data.data(), sent);
    transfer.TransferBufferLength = sent;
    // The device went on sending after the host's buffer was full.
    if (result.data.size() > room && USBD_SUCCESS(status)) status = USBD_STATUS_BABBLE_DETECTED;
  } else {
    transfer.TransferBufferLength = std::min(result.moved.value_or(USBD_SUCCESS(status) ? room : 0), room);
  }
  it->status = status;
  it->irpStatus = result.irpStatus.value_or(IrpStatusFor(status));
  it->started = false;  // decided: the device has nothing more to do with it
  // A stall or a transaction error (CRC, babble, no handshake) halts the endpoint in the host
  // controller: the statuses of the halted kind. A cancel does not; a gone device has no pipes.
  if (USBD_HALTED(status) && status != USBD_STATUS_CANCELED && status != USBD_STATUS_DEVICE_GONE)
    if (OpenPipe* pipe = server_.FindPipe(it->pipe)) pipe->halted = true;
}

void Bus::DecideLocked(HeldList::iterator it, const TransferResult& result, When when, ULONG delayMs,
                       std::vector<Held>& now) {
  if (schedule_) schedule_->Forget(it->id);  // decided without crossing the timed bus
  WriteResultLocked(it, result);
  if (delayMs > 0) {
    it->as = HeldAs::Delayed;
    it->dueMs = Kernel::Current().NowMs() + delayMs;
    ArmDelayTimerLocked();
    return;
  }
  if (when == When::Inline) {
    // Whoever clears the cancel routine first completes the IRP; a cancel routine that got
    // there first finds it on the list, decided, and ends it as cancelled.
    if (IoSetCancelRoutine(it->irp, nullptr)) {
      now.push_back(*it);
      held_.erase(it);
    } else {
      it->as = HeldAs::Completing;
    }
    return;
  }
  it->as = HeldAs::Completing;
  held_.splice(held_.end(), held_, it);  // the DPC completes in the order of decision
  KeInsertQueueDpc(&completionDpc_, nullptr, nullptr);
}

void Bus::StartIfQueuedByDeviceLocked(HeldList::iterator it) {
  if (!function_.QueuesTransfers()) return;
  OpenPipe* pipe = server_.FindPipe(it->pipe);
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = UrbOf(it->irp)->UrbBulkOrInterruptTransfer;
  bool in = (it->endpoint & kDirectionIn) != 0;
  TransferRequest request{it->endpoint, pipe->maximumPacketSize, transfer.TransferBufferLength,
                          in ? nullptr : TransferMemory(transfer)};
  it->started = true;
  DeviceCall call(this);
  function_.StartTransfer(it->id, request);
}

void Bus::StopStartedLocked(const Held& held) {
  if (held.as == HeldAs::Transfer && held.started) function_.StopTransfer(held.id);
  if (held.as == HeldAs::Transfer && schedule_) schedule_->Forget(held.id);
}

When Bus::DeviceAnswerWhenLocked() const { return mode_ == CompletionMode::Inline ? When::Inline : When::Dpc; }

bool Bus::CompleteTransfer(uint64_t id, const TransferResult& result, When when, ULONG delayMs) {
  std::vector<Held> now;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    auto it = std::find_if(held_.begin(), held_.end(),
                           [id](const Held& held) { return held.as == HeldAs::Transfer && held.id == id; });
    if (it == held_.end()) return false;
    DecideLocked(it, result, when, delayMs, now);
    OfferLocked(now);
  }
  CompleteEach(now);
  return true;
}

void Bus::ScriptTransfers(UCHAR endpointAddress, std::vector<ScriptedTransfer> entries) {
  std::vector<Held> now;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    std::deque<ScriptedTransfer>& script = scripts_[endpointAddress];
    for (ScriptedTransfer& entry : entries) script.push_back(std::move(entry));
    OfferLocked(now);
  }
  CompleteEach(now);
}

size_t Bus::ScriptedLeft(UCHAR endpointAddress) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  auto script = scripts_.find(endpointAddress);
  return script == scripts_.end() ? 0 : script->second.size();
}

void Bus::HoldEndpoint(UCHAR endpointAddress, bool hold) {
  std::vector<Held> now;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (hold) {
      heldEndpoints_.insert(endpointAddress);
    } else {
      heldEndpoints_.erase(endpointAddress);
      OfferLocked(now);
    }
  }
  CompleteEach(now);
}

bool Bus::Halted(UCHAR endpointAddress) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  for (const auto& [handle, pipe] : server_.pipes())
    if (pipe.endpointAddress == endpointAddress) return pipe.halted;
  return false;
}

size_t Bus::QueuedTransfers(UCHAR endpointAddress) { return Transfers(endpointAddress).size(); }

std::vector<QueuedTransfer> Bus::Transfers(UCHAR endpointAddress) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  std::vector<QueuedTransfer> queued;
  for (const Held& held : held_) {
    if (held.as != HeldAs::Transfer || held.endpoint != endpointAddress) continue;
    const struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = UrbOf(held.irp)->UrbBulkOrInterruptTransfer;
    QueuedTransfer entry{held.id, held.endpoint, transfer.TransferFlags, transfer.TransferBufferLength, {}};
    if (!(held.endpoint & kDirectionIn) && transfer.TransferBufferLength) {
      const UCHAR* bytes = TransferMemory(transfer);
      entry.data.assign(bytes, bytes + transfer.TransferBufferLength);
    }
    queued.push_back(std::move(entry));
  }
  return queued;
}

}  // namespace emu::usb
