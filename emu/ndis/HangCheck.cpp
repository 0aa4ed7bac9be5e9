// NDIS's hang check. The library looks at each adapter every CheckForHang interval (2 s
// unless the miniport asked for another); a request it finds pending on two looks in a row
// makes it reset the adapter. A set that pends just before a look is reset one interval
// later, so that is all the time a miniport can count on, and the time given here.
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Miniport.h"

namespace emu::ndis {
namespace {

constexpr LONGLONG kDefaultCheckForHangSeconds = 2;

}  // namespace

// A pended set outlived by its adapter is reported at halt; the timer must not outlive it.
Miniport::~Miniport() {
  if (hangCheckArmed_) DisarmHangCheck();
}

void Miniport::InitializeHangCheck() {
  KeInitializeTimer(&hangTimer_);
  KeInitializeDpc(&hangDpc_, HangCheckDpcRoutine, this);
}

void Miniport::ArmHangCheck() {
  LONGLONG seconds = kDefaultCheckForHangSeconds;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (attributes_ && attributes_->checkForHangSeconds) seconds = attributes_->checkForHangSeconds;
  }
  LARGE_INTEGER due;
  due.QuadPart = -seconds * 1000 * 10000;
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
  {
    std::lock_guard<emu::InternalMutex> guard(miniport->mutex_);
    // Completed meanwhile, or a reset already covers it; nothing is reset once halt began.
    if (!miniport->setPending_ || miniport->resetPending_ || miniport->state_ != MiniportState::Running) return;
    miniport->hangResets_++;
  }
  BOOLEAN addressingReset = FALSE;
  miniport->Reset(&addressingReset);
}

size_t Miniport::hangResets() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return hangResets_;
}

}  // namespace emu::ndis
