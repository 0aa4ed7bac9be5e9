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
    if (AssignWorkLocked()) continue;
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

bool DeterministicScheduler::AssignWorkLocked() {
  // Critical items are taken before delayed ones, as the system's worker threads do.
  for (WorkQueue queue : {WorkQueue::Critical, WorkQueue::Delayed}) {
    if (WorkLocked(queue).empty()) continue;
    EmuThread* worker = IdleWorkerLocked(queue);
    if (!worker) continue;
    worker->assigned = PopWorkLocked(queue);
    ready_.push_back(worker);
    return true;
  }
  return false;
}

EmuThread* DeterministicScheduler::IdleWorkerLocked(WorkQueue queue) {
  std::vector<EmuThread*>& idle = idleWorkers_[static_cast<int>(queue)];
  if (!idle.empty()) {
    EmuThread* worker = idle.back();
    idle.pop_back();
    return worker;
  }
  int started = 0;
  for (const auto& worker : workers_) started += worker->queue == queue;
  if (started == kWorkersPerQueue[static_cast<int>(queue)]) return nullptr;
  auto worker = std::make_unique<EmuThread>(nullptr);
  worker->queue = queue;
  worker->ownContext = std::make_unique<Context>("worker " + std::to_string(started + 1) + " (" +
                                                 WorkQueueName(queue) + ")");
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
    idleWorkers_[static_cast<int>(self->queue)].push_back(self);
    Schedule(lock, self);
  }
}

std::string DeterministicScheduler::DescribeBlockedLocked() const {
  std::string text;
  for (const Waiter* w : waiters_) text += "  " + w->context->name + " waits on " + w->what + "\n";
  for (WorkQueue queue : {WorkQueue::Critical, WorkQueue::Delayed})
    for (PIO_WORKITEM item : WorkLocked(queue))
      text += "  work item " + Symbolize(reinterpret_cast<void*>(item->routine)) + " waits for one of the " +
              std::to_string(kWorkersPerQueue[static_cast<int>(queue)]) + " " +
              WorkQueueName(queue) + " workers, all busy\n";
  return text;
}

void DeterministicScheduler::Shutdown() {
  EmuThread* me = Self();
  std::unique_lock<std::mutex> lock(lock_);
  std::vector<EmuThread*> exiting;
  for (std::vector<EmuThread*>& idle : idleWorkers_) {
    exiting.insert(exiting.end(), idle.begin(), idle.end());
    idle.clear();
  }
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
