#include "emu/kernel/Kernel.h"

#include <cstdio>
#include <cstdlib>

#include "emu/kernel/DeterministicScheduler.h"
#include "emu/kernel/Leak.h"
#include "emu/kernel/ThreadedScheduler.h"

namespace emu {
Kernel* Kernel::current_ = nullptr;

Kernel::Kernel(Mode mode, int processors) : mode_(mode) {
  Install();
  if (mode == Mode::Deterministic)
    scheduler_ = std::make_unique<DeterministicScheduler>();
  else
    scheduler_ = std::make_unique<ThreadedScheduler>(processors);
}

Kernel::Kernel(const Exploration& exploration, int processors) : mode_(Mode::Deterministic) {
  Install();
  scheduler_ = std::make_unique<DeterministicScheduler>(&exploration, processors);
  SetScheduleNote(ScheduleDescription());
}

void Kernel::Install() {
  if (current_) {
    std::fprintf(stderr, "emulator: only one emulated kernel may exist at a time\n");
    std::abort();
  }
  current_ = this;
  locks_.NameClass(&cancelSpinLock_, "IoCancelSpinLock");
}

Kernel::~Kernel() {
  Shutdown();
  // A thread that stayed blocked still uses the scheduler; it must not be destroyed under it.
  if (!scheduler_->Clean()) KeepForever(scheduler_.release());
  SetScheduleNote("");
  current_ = nullptr;
}

void Kernel::NoKernel() {
  std::fprintf(stderr, "emulator: a platform function was called with no emulated kernel\n");
  std::abort();
}

bool Kernel::Exists() { return current_ != nullptr; }

std::string Kernel::ScheduleDescription() const {
  return scheduler_->explorer() ? scheduler_->explorer()->Describe() : "";
}

void Kernel::CheckClean(const std::string& when) {
  for (const std::string& pending : scheduler_->Pending()) verifier_.Report("leak", when + ": " + pending);
  for (const std::string& leak : pool_.Leaks()) verifier_.Report("leak", when + ": " + leak);
}

void Kernel::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  scheduler_->Shutdown();
  if (!scheduler_->Clean())
    verifier_.Report("leak", "a worker thread was still blocked when the emulated system stopped");
}

}  // namespace emu
