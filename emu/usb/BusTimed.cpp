// The bus's side of a timed bus: transfers go on the host controller's schedule as they
// arrive, the device is asked as their packets cross, and the answered ones complete from the
// frame timer's DPC at the interrupt the schedule names.
#include <algorithm>

#include "emu/kernel/Kernel.h"
#include "emu/usb/Bus.h"
#include "emu/usb/UrbMemory.h"

namespace emu::usb {
namespace {

uint64_t Now() { return Kernel::Current().scheduler().Now(); }

}  // namespace

void Bus::SetTiming(const BusTiming& timing) {
  if (function_.QueuesTransfers())
    Kernel::Current().verifier().Fatal("bus", "a device that queues transfers itself keeps its own time");
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  schedule_ = std::make_unique<BusSchedule>(timing);
}

std::optional<BusTiming> Bus::Timing() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  if (!schedule_) return std::nullopt;
  return schedule_->timing();
}

std::pair<uint64_t, uint64_t> Bus::BulkBytes() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  if (!schedule_) return {0, 0};
  return {schedule_->bytesIn(), schedule_->bytesOut()};
}

void Bus::ScheduleLocked(HeldList::iterator it) {
  if (!schedule_) return;
  const OpenPipe* pipe = server_.FindPipe(it->pipe);
  const struct _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = UrbOf(it->irp)->UrbBulkOrInterruptTransfer;
  ScheduledTransfer scheduled{it->id,
                              it->pipe,
                              (it->endpoint & kRequestDirectionIn) != 0,
                              pipe->type == UsbdPipeTypeInterrupt,
                              pipe->interval,
                              pipe->maximumPacketSize,
                              transfer.TransferBufferLength};
  schedule_->Add(scheduled, Now());
  ArmFrameTimerLocked();
}

Bus::HeldList::iterator Bus::ScheduledTransferLocked(uint64_t id) {
  auto it = std::find_if(held_.begin(), held_.end(),
                         [id](const Held& held) { return held.as == HeldAs::Transfer && held.id == id; });
  if (it == held_.end()) return it;
  // A halted endpoint no longer talks to the device; a held one waits for the test.
  const OpenPipe* pipe = server_.FindPipe(it->pipe);
  if (!pipe || pipe->halted || heldEndpoints_.count(it->endpoint)) return held_.end();
  return it;
}

std::optional<ULONG> Bus::Answer(uint64_t id) {
  auto it = ScheduledTransferLocked(id);
  if (it == held_.end()) return std::nullopt;
  std::optional<TransferResult> answer = AskDeviceLocked(it, *server_.FindPipe(it->pipe));
  if (!answer) return std::nullopt;
  WriteResultLocked(it, *answer);
  it->as = HeldAs::OnBus;
  return UrbOf(it->irp)->UrbBulkOrInterruptTransfer.TransferBufferLength;
}

bool Bus::Deliver(uint64_t id) {
  auto it = ScheduledTransferLocked(id);
  if (it == held_.end()) return false;
  std::optional<TransferResult> answer = AskDeviceLocked(it, *server_.FindPipe(it->pipe));
  if (!answer) return false;
  WriteResultLocked(it, *answer);
  it->as = HeldAs::OnBus;
  return true;
}

void Bus::ArmFrameTimerLocked() {
  uint64_t next = schedule_->NextEvent();
  if (next == UINT64_MAX) {
    KeCancelTimer(&frameTimer_);
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = static_cast<LONGLONG>(next);  // absolute
  KeSetTimer(&frameTimer_, due, &frameDpc_);
}

VOID NTAPI Bus::FrameDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  Bus* bus = static_cast<Bus*>(context);
  std::vector<Held> taken;
  {
    std::lock_guard<emu::InternalMutex> guard(bus->mutex_);
    DeviceCall call(bus);
    uint64_t now = Now();
    bus->schedule_->Advance(now, *bus);
    // In the order their last packets crossed.
    taken = bus->TakeOnBusLocked(bus->schedule_->TakeDue(now));
    bus->ArmFrameTimerLocked();
  }
  bus->CompleteEach(taken);
}

}  // namespace emu::usb
