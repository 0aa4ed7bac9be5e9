#include "emu/kernel/DeterministicScheduler.h"

#include "emu/kernel/Kernel.h"
#include "emu/kernel/Leak.h"

namespace emu {
namespace {

thread_local EmuThread* tlsThread = nullptr;

}  // namespace

DeterministicScheduler::DeterministicScheduler() : testThread_(&CurrentContext()) {
  running_ = &testThread_;
  tlsThread = &testThread_;
}

DeterministicScheduler::~DeterministicScheduler() {
  if (tlsThread == &testThread_) tlsThread = nullptr;
}

EmuThread* DeterministicScheduler::Self() {
  if (!tlsThread)
    Kernel::Current().verifier().Fatal(
        "scheduler", "a thread the deterministic emulator did not start called into the kernel");
  return tlsThread;
}

void DeterministicScheduler::Block(std::unique_lock<std::mutex>& lock, Waiter& waiter) {
  EmuThread* me = Self();
  waiter.thread = me;
  Schedule(lock, me);
}

void DeterministicScheduler::OnWaiterWoken(Waiter& waiter) { ready_.push_back(waiter.thread); }

void DeterministicScheduler::RunPending() {
  EmuThread* me = Self();
  std::unique_lock<std::mutex> lock(lock_);
  parked_ = me;
  parkedAdvances_ = false;
  Schedule(lock, me);
}

void DeterministicScheduler::AdvanceTime(uint64_t hundredNs) {
  EmuThread* me = Self();
  std::unique_lock<std::mutex> lock(lock_);
  parked_ = me;
  parkedAdvances_ = true;
  parkedUntil_ = now_ + hundredNs;
  Schedule(lock, me);
}

void DeterministicScheduler::Schedule(std::unique_lock<std::mutex>& lock, EmuThread* me) {
  for (;;) {
    // DPCs first: at DISPATCH_LEVEL they would preempt any thread.
    uint64_t taken;
    if (PKDPC dpc = PopDpcLocked(&taken)) {
      lock.unlock();
      RunDpc(dpc, taken);
      lock.lock();
      continue;
    }
    if (!ready_.empty()) {
      EmuThread* next = ready_.front();
      ready_.pop_front();
      if (next != me) HandOver(lock, next, me);
      return;  // whoever gave the baton back chose this thread to go on
    }
    if (!criticalWork_.empty() || !delayedWork_.empty()) {
      EmuThread* worker = IdleWorkerLocked();
      worker->assigned = PopWorkLocked();
      ready_.push_back(worker);
      continue;
    }
    // A timer already due (set with no delay) expires now, without time passing.
    if (NextTimerDueLocked() <= now_) {
      FireTimersLocked(now_);
      continue;
    }
    if (parked_ && !parkedAdvances_) {
      ready_.push_back(parked_);
      parked_ = nullptr;
      continue;
    }
    // Nothing can run now: let time pass to the next timer, time-out or AdvanceTime target.
    uint64_t next = NextTimerDueLocked();
    for (Waiter* w : waiters_)
      if (w->hasDeadline && w->deadline < next) next = w->deadline;
    if (parked_ && parkedUntil_ < next) next = parkedUntil_;
    if (next == UINT64_MAX) {
      std::string blocked = DescribeBlockedLocked();
      lock.unlock();
      Kernel::Current().verifier().Fatal(
          "deadlock", "every emulated thread is blocked and nothing can wake them:\n" + blocked);
    }
    if (next > now_) now_ = next;
    FireTimersLocked(now_);
    TimeOutWaitersLocked(now_);
    if (parked_ && parkedUntil_ <= now_) {
      ready_.push_back(parked_);
      parked_ = nullptr;
    }
  }
}

void DeterministicScheduler::HandOver(std::unique_lock<std::mutex>& lock, EmuThread* to,
                                      EmuThread* me) {
  running_ = to;
  to->cv.notify_one();
  while (running_ != me) me->cv.wait(lock);
}

EmuThread* DeterministicScheduler::IdleWorkerLocked() {
  if (!idleWorkers_.empty()) {
    EmuThread* worker = idleWorkers_.back();
    idleWorkers_.pop_back();
    return worker;
  }
  auto worker = std::make_unique<EmuThread>(nullptr);
  worker->ownContext = std::make_unique<Context>("worker " + std::to_string(workers_.size() + 1));
  worker->context = worker->ownContext.get();
  EmuThread* raw = worker.get();
  raw->thread = std::thread(&DeterministicScheduler::WorkerMain, this, raw);
  workers_.push_back(std::move(worker));
  return raw;
}

void DeterministicScheduler::WorkerMain(EmuThread* self) {
  tlsThread = self;
  ContextScope scope(*self->context);
  std::unique_lock<std::mutex> lock(lock_);
  while (running_ != self) self->cv.wait(lock);
  for (;;) {
    if (self->exit) {
      running_ = &testThread_;
      testThread_.cv.notify_one();
      return;
    }
    PIO_WORKITEM item = self->assigned;
    self->assigned = nullptr;
    lock.unlock();
    RunWorkItem(item);
    lock.lock();
    idleWorkers_.push_back(self);
    Schedule(lock, self);
  }
}

std::string DeterministicScheduler::DescribeBlockedLocked() const {
  std::string text;
  for (const Waiter* w : waiters_) text += "  " + w->context->name + " waits on " + w->what + "\n";
  return text;
}

void DeterministicScheduler::Shutdown() {
  EmuThread* me = Self();
  std::unique_lock<std::mutex> lock(lock_);
  std::vector<EmuThread*> exiting = idleWorkers_;
  idleWorkers_.clear();
  for (EmuThread* worker : exiting) {
    worker->exit = true;
    HandOver(lock, worker, me);
  }
  lock.unlock();
  for (auto& worker : workers_) {
    bool idle = false;
    for (EmuThread* w : exiting) idle |= w == worker.get();
    if (idle) {
      worker->thread.join();
    } else {
      // Still blocked in a wait: its OS thread keeps using this scheduler, which must stay.
      clean_ = false;
      worker->thread.detach();
      KeepForever(worker.release());
    }
  }
  workers_.clear();
}

}  // namespace emu
