// The bus's IRP handling: dispatch, holding pending IRPs with a cancel routine, completion
// from the DPC, and the hand-off rule between the cancel routine and everyone else who ends a
// held IRP: whoever clears the cancel routine first completes it.
#include "emu/usb/Bus.h"

#include "emu/kernel/Kernel.h"
#include "emu/usb/UrbMemory.h"

namespace emu::usb {
namespace {

constexpr CSHORT kDeviceObjectType = 3;

Bus* BusOf(PDEVICE_OBJECT device) { return static_cast<Bus*>(device->DeviceExtension); }

}  // namespace

Bus::Bus(UsbFunction& function) : server_(function), function_(function) {
  driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  pdo_.Type = kDeviceObjectType;
  pdo_.DriverObject = &driver_;
  pdo_.DeviceExtension = this;
  pdo_.DeviceType = FILE_DEVICE_USB;
  pdo_.StackSize = 1;
  KeInitializeDpc(&completionDpc_, CompletionDpcRoutine, this);
  KeInitializeTimer(&delayTimer_);
  KeInitializeDpc(&delayDpc_, DelayDpcRoutine, this);
  KeInitializeTimer(&frameTimer_);
  KeInitializeDpc(&frameDpc_, FrameDpcRoutine, this);
  // Reached under mutex_ by a pipe reset; counts held_, which that lock guards too. A decided
  // transfer that has not completed yet still keeps its pipe busy.
  server_.SetQueuedCounter([this](uintptr_t pipe) {
    size_t count = 0;
    for (const Held& held : held_) count += held.pipe == pipe;
    return count;
  });
  function_.SetWake([this] { OnDeviceWake(); });
  function_.SetFinish([this](uint64_t id, const TransferResult& result) { CompleteTransfer(id, result); });
}

Bus::~Bus() {
  function_.SetWake(nullptr);
  function_.SetFinish(nullptr);
  if (!Kernel::Exists()) return;
  KeRemoveQueueDpc(&completionDpc_);
  KeCancelTimer(&delayTimer_);
  KeRemoveQueueDpc(&delayDpc_);
  KeCancelTimer(&frameTimer_);
  KeRemoveQueueDpc(&frameDpc_);
  if (!held_.empty())
    Kernel::Current().verifier().Report("irp", "the USB device was removed from the emulator with " +
                                                   std::to_string(held_.size()) + " IRP(s) still pending on it");
}

NTSTATUS NTAPI Bus::DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return BusOf(device)->Dispatch(irp);
}

NTSTATUS Bus::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_NOT_SUPPORTED;
  }
  if (!UrbOf(irp)) {
    Kernel::Current().verifier().Report("urb", "IOCTL_INTERNAL_USB_SUBMIT_URB without a URB in Argument1");
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  Served served;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    DeviceCall call(this);
    served = ServeLocked(irp);
  }
  // Transfers that a request ended complete before the request itself.
  CompleteAll(served.closed, USBD_STATUS_CANCELED, STATUS_CANCELLED);
  CompleteEach(served.decided);
  const Outcome& outcome = served.outcome;
  if (served.completeNow) {
    Complete(irp, outcome.status, outcome.irpStatus);
    // The handler learns of the removal after the URB that met it has ended.
    if (outcome.deviceGone && unplugHandler_) unplugHandler_();
    return outcome.irpStatus;
  }
  if (!served.held) Complete(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
  return STATUS_PENDING;
}

Bus::Served Bus::ServeLocked(PIRP irp) {
  Served served;
  Outcome& outcome = served.outcome;
  outcome = server_.Serve(*UrbOf(irp));
  NoteSubmittedLocked(irp, outcome);
  served.closed = TakeTransfersLocked(outcome.closed);
  if (outcome.deviceGone) EndHeldAsGoneLocked();
  served.completeNow = outcome.disposition == Disposition::Complete &&
                       (outcome.refused || mode_ == CompletionMode::Inline);
  if (!served.completeNow) {
    HeldAs as = outcome.disposition == Disposition::Queued          ? HeldAs::Transfer
                : outcome.disposition == Disposition::NeverAnswered ? HeldAs::NeverAnswered
                : outcome.disposition == Disposition::Delayed       ? HeldAs::Delayed
                                                                    : HeldAs::Completing;
    uint64_t dueMs = Kernel::Current().NowMs() + outcome.delayMs;
    Held entry{irp, as, outcome.pipe, outcome.status, outcome.irpStatus, dueMs};
    entry.number = outcome.number;
    if (as == HeldAs::Transfer) {
      entry.fault = outcome.transferFault;
      entry.id = ++lastTransferId_;
      entry.endpoint = server_.FindPipe(outcome.pipe)->endpointAddress;
    }
    served.held = HoldLocked(entry);
    if (served.held && as == HeldAs::Completing) KeInsertQueueDpc(&completionDpc_, nullptr, nullptr);
    if (served.held && as == HeldAs::Delayed) ArmDelayTimerLocked();
    if (served.held && as == HeldAs::Transfer && !FailIfHaltedLocked(std::prev(held_.end()), served.decided)) {
      StartIfQueuedByDeviceLocked(std::prev(held_.end()));
      ScheduleLocked(std::prev(held_.end()));
    }
  }
  // Whatever the request changed (a reset, a selection, a new transfer) may let waiting
  // transfers go; those decided to end at once end inside this call.
  OfferLocked(served.decided);
  return served;
}

bool Bus::HoldLocked(const Held& held) {
  IoMarkIrpPending(held.irp);
  IoSetCancelRoutine(held.irp, CancelRoutine);
  // Cancelled before the routine was in place: if IoCancelIrp already took the routine, it
  // runs and waits for this lock, so the IRP must be on the list for it to find.
  if (held.irp->Cancel && IoSetCancelRoutine(held.irp, nullptr)) return false;
  held_.push_back(held);
  return true;
}

template <class Predicate>
std::vector<Bus::Held> Bus::TakeLocked(Predicate selects) {
  std::vector<Held> taken;
  for (auto it = held_.begin(); it != held_.end();) {
    // A null cancel routine means IoCancelIrp has claimed the IRP: its cancel routine will
    // take it off the list and complete it.
    if (selects(*it) && IoSetCancelRoutine(it->irp, nullptr)) {
      StopStartedLocked(*it);
      taken.push_back(*it);
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

std::vector<Bus::Held> Bus::TakeTransfersLocked(const std::vector<uintptr_t>& pipes) {
  return TakeLocked([&pipes](const Held& held) {
    if (held.as != HeldAs::Transfer) return false;
    for (uintptr_t pipe : pipes)
      if (pipe == held.pipe) return true;
    return false;
  });
}

std::vector<Bus::Held> Bus::TakeOnBusLocked(const std::vector<uint64_t>& ids) {
  std::vector<Held> taken;
  for (uint64_t id : ids) {
    std::vector<Held> one = TakeLocked([id](const Held& held) { return held.as == HeldAs::OnBus && held.id == id; });
    taken.insert(taken.end(), one.begin(), one.end());
  }
  return taken;
}

VOID NTAPI Bus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Bus* bus = BusOf(device);
  bool found = false;
  {
    std::lock_guard<emu::InternalMutex> guard(bus->mutex_);
    for (auto it = bus->held_.begin(); it != bus->held_.end(); ++it)
      if (it->irp == irp) {
        bus->StopStartedLocked(*it);
        bus->held_.erase(it);
        found = true;
        break;
      }
    bus->ArmDelayTimerLocked();  // nothing may stay armed for an answer that is gone
  }
  if (found) bus->Complete(irp, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

VOID NTAPI Bus::CompletionDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  Bus* bus = static_cast<Bus*>(context);
  std::vector<Held> taken;
  {
    std::lock_guard<emu::InternalMutex> guard(bus->mutex_);
    taken = bus->TakeLocked([](const Held& held) { return held.as == HeldAs::Completing; });
  }
  bus->CompleteEach(taken);
}

VOID NTAPI Bus::DelayDpcRoutine(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2) {
  Bus* bus = static_cast<Bus*>(context);
  std::vector<Held> taken;
  {
    std::lock_guard<emu::InternalMutex> guard(bus->mutex_);
    uint64_t now = Kernel::Current().NowMs();
    taken = bus->TakeLocked([now](const Held& held) { return held.as == HeldAs::Delayed && held.dueMs <= now; });
    bus->ArmDelayTimerLocked();
  }
  bus->CompleteEach(taken);
}

void Bus::ArmDelayTimerLocked() {
  uint64_t earliest = UINT64_MAX;
  for (const Held& held : held_)
    if (held.as == HeldAs::Delayed && held.dueMs < earliest) earliest = held.dueMs;
  if (earliest == UINT64_MAX) {
    KeCancelTimer(&delayTimer_);
    return;
  }
  uint64_t now = Kernel::Current().NowMs();
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>((earliest > now ? earliest - now : 0) * 10000);
  KeSetTimer(&delayTimer_, due, &delayDpc_);
}

void Bus::Complete(PIRP irp, USBD_STATUS status, NTSTATUS irpStatus) {
  NoteCompleted(irp, status);
  UrbOf(irp)->UrbHeader.Status = status;
  irp->IoStatus.Status = irpStatus;
  irp->IoStatus.Information = 0;
  // The host controller's completions run at DISPATCH_LEVEL.
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KfLowerIrql(old);
}

void Bus::CompleteAll(const std::vector<Held>& taken, USBD_STATUS status, NTSTATUS irpStatus) {
  for (const Held& held : taken) Complete(held.irp, status, irpStatus);
}

void Bus::CompleteEach(const std::vector<Held>& taken) {
  for (const Held& held : taken) Complete(held.irp, held.status, held.irpStatus);
}

void Bus::SetCompletionMode(CompletionMode mode) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  mode_ = mode;
}

void Bus::InjectFault(const ControlFault& fault) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  server_.faults().Add(fault);
}

void Bus::ClearFaults() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  server_.faults().Clear();
}

void Bus::Unplug(const RemovalStatus& status) {
  std::vector<Held> taken;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    server_.Unplug();
    taken = UnplugLocked();
  }
  CompleteAll(taken, status.usbdStatus, status.irpStatus);
}

std::vector<Bus::Held> Bus::UnplugLocked() {
  std::vector<Held> taken = TakeLocked([](const Held&) { return true; });
  ArmDelayTimerLocked();
  return taken;
}

void Bus::EndHeldAsGoneLocked() {
  // The host controller finds the device gone on its own time: the held IRPs end from its
  // DPC, not inside the call of whoever sent the URB that met the removal.
  for (Held& held : held_) {
    held.as = HeldAs::Completing;
    held.status = USBD_STATUS_DEVICE_GONE;
    held.irpStatus = STATUS_DEVICE_NOT_CONNECTED;
  }
  ArmDelayTimerLocked();
  if (!held_.empty()) KeInsertQueueDpc(&completionDpc_, nullptr, nullptr);
}

void Bus::AnswerUrb(const UrbFault& fault) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  server_.ArmUrbFault(fault);
}

void Bus::SetUnplugHandler(std::function<void()> handler) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  unplugHandler_ = std::move(handler);
}

uint64_t Bus::UrbsNumbered() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return server_.urbsNumbered();
}

bool Bus::Configured() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return server_.configured();
}

UCHAR Bus::ConfigurationValue() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return server_.configurationValue();
}

std::vector<BusRequest> Bus::Requests() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return server_.requests();
}

void Bus::RecordTransfers(bool record) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  server_.RecordTransfers(record);
}

size_t Bus::PendingIrps() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return held_.size();
}


}  // namespace emu::usb
