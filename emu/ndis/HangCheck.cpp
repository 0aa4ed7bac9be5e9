// NDIS's hang check. The library looks at each adapter every CheckForHang interval (2 s
// unless the miniport asked for another); a request it finds pending on two looks in a row
// makes it reset the adapter. A set that pends just before a look is reset one interval
// later, so that is all the time a miniport can count on, and the time given here. At each
// look it also asks a miniport that has a MiniportCheckForHang, and resets the adapter when
// that says it hangs; never while a reset pends, nor once halt began.
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Miniport.h"

namespace emu::ndis {
namespace {

constexpr LONGLONG kDefaultCheckForHangSeconds = 2;

}  // namespace

// A pended set outlived by its adapter is reported at halt; the timers must not outlive it.
Miniport::~Miniport() {
  if (hangCheckArmed_) DisarmHangCheck();
  if (wakeUpTimer_.Header.Inserted) KeCancelTimer(&wakeUpTimer_);  // not halted
}

void Miniport::InitializeHangCheck() {
  KeInitializeTimer(&hangTimer_);
  KeInitializeDpc(&hangDpc_, HangCheckDpcRoutine, this);
  KeInitializeTimer(&wakeUpTimer_);
  KeInitializeDpc(&wakeUpDpc_, WakeUpDpcRoutine, this);
  KeInitializeEvent(&wakeUpIdle_, NotificationEvent, TRUE);
}

LARGE_INTEGER Miniport::HangCheckIntervalLocked() {
  LONGLONG seconds = kDefaultCheckForHangSeconds;
  if (attributes_ && attributes_->checkForHangSeconds) seconds = attributes_->checkForHangSeconds;
  LARGE_INTEGER due;
  due.QuadPart = -seconds * 1000 * 10000;
  return due;
}

void Miniport::ArmHangCheck() {
  LARGE_INTEGER due;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    due = HangCheckIntervalLocked();
  }
  hangCheckArmed_ = true;
  KeSetTimer(&hangTimer_, due, &hangDpc_);
}

void Miniport::DisarmHangCheck() {
  KeCancelTimer(&hangTimer_);
  hangCheckArmed_ = false;
}

VOID NTAPI Miniport::HangCheckDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* miniport = static_cast<Miniport*>(context);
  miniport->hangCheckArmed_ = false;
  miniport->ResetForHang(true);
}

// A set completed meanwhile needs no reset; a pending reset already covers the hang; nothing
// is reset once halt began.
void Miniport::ResetForHang(bool forPendingSet) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if ((forPendingSet && !setPending_) || resetPending_ || state_ != MiniportState::Running) return;
    hangResets_++;
  }
  BOOLEAN addressingReset = FALSE;
  Reset(&addressingReset);
}

void Miniport::ArmWakeUp() {
  if (!Ndis30().CheckForHangHandler) return;
  // Armed under the lock that halt takes to change the state, so halt's cancel comes after.
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  if (state_ == MiniportState::Running)
    Kernel::Current().scheduler().SetTimer(&wakeUpTimer_, HangCheckIntervalLocked(), &wakeUpDpc_, true);
}

void Miniport::StopWakeUp() {
  KeCancelTimer(&wakeUpTimer_);
  // A look already under way ends before the adapter goes.
  KeWaitForSingleObject(&wakeUpIdle_, Executive, KernelMode, FALSE, nullptr);
}

VOID NTAPI Miniport::WakeUpDpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
  auto* miniport = static_cast<Miniport*>(context);
  NDIS_HANDLE adapter;
  bool look;
  {
    std::lock_guard<emu::InternalMutex> guard(miniport->mutex_);
    if (miniport->state_ != MiniportState::Running) return;
    adapter = miniport->context_;
    look = !miniport->resetPending_;
    if (look) KeClearEvent(&miniport->wakeUpIdle_);
  }
  if (look) {
    BOOLEAN hangs = FALSE;
    miniport->CallDriver(DISPATCH_LEVEL, "MiniportCheckForHang",
                         [&] { hangs = Ndis30().CheckForHangHandler(adapter); });
    if (hangs) miniport->ResetForHang(false);
    KeSetEvent(&miniport->wakeUpIdle_, 0, FALSE);
  }
  miniport->ArmWakeUp();
}

size_t Miniport::hangResets() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return hangResets_;
}

}  // namespace emu::ndis
