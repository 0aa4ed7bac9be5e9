// One emulated system: scheduler, pool, lock tracking, fault injection and the verifier.
// The driver reaches it through the platform functions; tests and the emulator's own parts
// reach it through Kernel::Current().
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emu/kernel/Faults.h"
#include "emu/kernel/LockTracker.h"
#include "emu/kernel/Pool.h"
#include "emu/kernel/ScheduleExplorer.h"
#include "emu/kernel/Scheduler.h"
#include "emu/verifier/Verifier.h"

namespace emu {

class Kernel {
 public:
  explicit Kernel(Mode mode = Mode::Deterministic, int processors = 2);
  // Deterministic, with the explorer choosing every step of the schedule.
  explicit Kernel(const Exploration& exploration, int processors = 2);
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  static Kernel& Current() {
    if (!current_) NoKernel();
    return *current_;
  }
  static bool Exists();

  Mode mode() const { return mode_; }
  Verifier& verifier() { return verifier_; }
  Scheduler& scheduler() { return *scheduler_; }
  Pool& pool() { return pool_; }
  LockTracker& locks() { return locks_; }
  Faults& faults() { return faults_; }
  PKSPIN_LOCK CancelSpinLock() { return &cancelSpinLock_; }

  // The explorer's seed and strategy, or empty when the schedule is the fixed one.
  std::string ScheduleDescription() const;

  // Runs what is runnable now; lets time pass (virtual in deterministic mode).
  void RunPending() { scheduler_->RunPending(); }
  void AdvanceTimeMs(uint64_t ms) { scheduler_->AdvanceTime(ms * 10000); }
  uint64_t NowMs() { return scheduler_->Now() / 10000; }

  // Test hook (none by default): called on a thread whose spin lock release has just brought
  // it back to PASSIVE_LEVEL, one of the points where the platform may let any other thread
  // run first. It is called under no lock and may wait, which is how a test lets the others
  // run there.
  void SetPreemptionHook(std::function<void(PKSPIN_LOCK released)> hook) { preemptionHook_ = std::move(hook); }
  void PreemptionPoint(PKSPIN_LOCK released) {
    if (preemptionHook_) preemptionHook_(released);
  }

  // Reports, as violations, what a finished run must not leave behind: allocations,
  // queued DPCs and work items, armed timers, blocked threads.
  void CheckClean(const std::string& when);
  // Stops the scheduler's threads; called by the destructor.
  void Shutdown();

 private:
  void Install();
  [[noreturn]] static void NoKernel();

  static Kernel* current_;  // the one that exists, set by the constructing thread

  Mode mode_;
  Verifier verifier_;
  Pool pool_;
  LockTracker locks_;
  Faults faults_;
  KSPIN_LOCK cancelSpinLock_ = 0;
  std::unique_ptr<Scheduler> scheduler_;
  bool shutDown_ = false;
  std::function<void(PKSPIN_LOCK)> preemptionHook_;  // set by the test thread before it matters
};

// A platform call the driver makes: exploring, another thread, DPC or work item may run here.
inline void SchedulingPoint() { Kernel::Current().scheduler().Preempt(); }

}  // namespace emu
