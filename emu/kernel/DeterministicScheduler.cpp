#include "emu/kernel/DeterministicScheduler.h"

#include <algorithm>

#include "emu/kernel/InternalLock.h"
#include "emu/kernel/Kernel.h"
#include "emu/kernel/Leak.h"

namespace emu {
namespace {

thread_local EmuThread* tlsThread = nullptr;

}  // namespace

DeterministicScheduler::DeterministicScheduler(const Exploration* exploration, int processors)
    : processors_(processors), testThread_(&CurrentContext()) {
  testThread_.fiber = std::make_unique<Fiber>();
  if (exploration) explorer_ = std::make_unique<ScheduleExplorer>(*exploration);
  testThread_.key = 1;
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
  me->atDispatch = CurrentContext().irql >= DISPATCH_LEVEL;
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

void DeterministicScheduler::Preempt() {
  if (!explorer_ || !tlsThread || HoldsInternalLock()) return;
  EmuThread* me = tlsThread;
  std::unique_lock<std::mutex> lock(lock_);
  if (running_ != me) return;
  me->atDispatch = CurrentContext().irql >= DISPATCH_LEVEL;
  ready_.push_back(me);
  Schedule(lock, me);
}

void DeterministicScheduler::Schedule(std::unique_lock<std::mutex>& lock, EmuThread* me) {
  for (;;) {
    Step step = explorer_ ? ExploreStepLocked(lock, me) : FixedStepLocked(lock, me);
    if (step == Step::Resumed) return;  // whoever gave the baton back chose this thread to go on
    if (step == Step::Ran) continue;
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
    uint64_t next = NextTimerDueLocked(false);
    for (Waiter* w : waiters_)
      if (w->hasDeadline && w->deadline < next) next = w->deadline;
    if (parked_ && parkedUntil_ < next) next = parkedUntil_;
    if (next == UINT64_MAX) {
      std::string blocked = DescribeBlockedLocked();
      lock.unlock();
      Kernel::Current().verifier().Fatal(
          "deadlock", "every emulated thread is blocked and nothing can wake them:\n" + blocked);
    }
    next = std::min(next, NextTimerDueLocked());  // background timers due first fire on the way
    if (next > now_) now_ = next;
    FireTimersLocked(now_);
    TimeOutWaitersLocked(now_);
    if (parked_ && parkedUntil_ <= now_) {
      ready_.push_back(parked_);
      parked_ = nullptr;
    }
  }
}

DeterministicScheduler::Step DeterministicScheduler::FixedStepLocked(std::unique_lock<std::mutex>& lock,
                                                                     EmuThread* me) {
  // DPCs first: at DISPATCH_LEVEL they would preempt any thread.
  TakenDpc dpc;
  if (PopDpcLocked(&dpc)) {
    lock.unlock();
    RunDpc(dpc);
    lock.lock();
    return Step::Ran;
  }
  if (!ready_.empty()) {
    EmuThread* next = ready_.front();
    ready_.pop_front();
    if (next != me) HandOver(lock, next, me);
    return Step::Resumed;
  }
  return AssignWorkLocked() ? Step::Ran : Step::Nothing;
}

std::vector<Candidate> DeterministicScheduler::CandidatesLocked() const {
  // A thread at DISPATCH_LEVEL (spinning ones too) keeps its processor; the others, and new
  // DPCs, need a free one.
  int busy = 0;
  for (const EmuThread* thread : ready_) busy += thread->atDispatch;
  for (const Waiter* w : waiters_) busy += w->spinning;
  std::vector<Candidate> candidates;
  for (const EmuThread* thread : ready_)
    if (thread->atDispatch || busy < processors_) candidates.push_back({thread->key, 'T'});
  if (!dpcs_.empty() && busy < processors_) candidates.push_back({(uint64_t{1} << 32) + dpcsTaken_ + 1, 'D'});
  if (StartableQueueLocked())
    candidates.push_back({(uint64_t{2} << 32) + workTaken_ + 1, 'W'});
  // A timer already due (set with no delay) expires on the clock, whatever else could run: its
  // DPC is queued at once and may run beside the thread that set it.
  if (NextTimerDueLocked() <= now_) candidates.push_back({(uint64_t{3} << 32) + expiries_ + 1, 'C'});
  return candidates;
}

DeterministicScheduler::Step DeterministicScheduler::ExploreStepLocked(std::unique_lock<std::mutex>& lock,
                                                                       EmuThread* me) {
  std::vector<Candidate> candidates = CandidatesLocked();
  if (candidates.empty()) {
    if (ready_.empty()) return Step::Nothing;
    candidates.push_back({ready_.front()->key, 'T'});  // processors all spinning: let a holder on
  }
  bool meReady = std::find(ready_.begin(), ready_.end(), me) != ready_.end();
  const Candidate& choice = candidates[explorer_->Pick(candidates, meReady ? me->key : 0)];
  if (choice.kind == 'T') {
    auto it = std::find_if(ready_.begin(), ready_.end(), [&](EmuThread* t) { return t->key == choice.key; });
    EmuThread* next = *it;
    ready_.erase(it);
    if (next != me) HandOver(lock, next, me);
    return Step::Resumed;
  }
  if (choice.kind == 'C') {
    ++expiries_;
    FireTimersLocked(now_);
    return Step::Ran;
  }
  if (choice.kind == 'D') {
    TakenDpc dpc;
    PopDpcLocked(&dpc);
    StartLocked(lock, me, DpcRunnerLocked(), [this, dpc] { RunDpc(dpc); }, choice.key);
  } else {
    ++workTaken_;
    WorkQueue queue = *StartableQueueLocked();
    EmuThread* worker = IdleWorkerLocked(queue);
    PIO_WORKITEM item = PopWorkLocked(queue);
    StartLocked(lock, me, worker, [this, item] { RunWorkItem(item); }, choice.key);
  }
  return Step::Resumed;
}

void DeterministicScheduler::StartLocked(std::unique_lock<std::mutex>& lock, EmuThread* me, EmuThread* worker,
                                         std::function<void()> job, uint64_t key) {
  worker->job = std::move(job);
  worker->key = key;
  HandOver(lock, worker, me);
}

void DeterministicScheduler::HandOver(std::unique_lock<std::mutex>& lock, EmuThread* to,
                                      EmuThread* me) {
  // The emulator's own locks are per OS thread: one held here would seem held by the next fiber.
  if (HoldsInternalLock())
    Kernel::Current().verifier().Fatal("scheduler", "an emulated thread blocked holding an emulator lock");
  // The kernel lock stays held across the switch: whoever resumes goes on holding it.
  running_ = to;
  if (to == me) return;  // an idle worker that takes the next job itself
  me->suspendedIn = tlsCurrentContext;
  me->fiber->SwitchTo(*to->fiber);
  tlsThread = me;
  tlsCurrentContext = me->suspendedIn;
}

std::optional<WorkQueue> DeterministicScheduler::StartableQueueLocked() const {
  // Critical items are taken before delayed ones, as the system's worker threads do.
  for (WorkQueue queue : {WorkQueue::Critical, WorkQueue::Delayed}) {
    if (WorkLocked(queue).empty()) continue;
    if (!idleWorkers_[static_cast<int>(queue)].empty() ||
        WorkersStartedLocked(queue) < kWorkersPerQueue[static_cast<int>(queue)])
      return queue;
  }
  return std::nullopt;
}

int DeterministicScheduler::WorkersStartedLocked(WorkQueue queue) const {
  int started = 0;
  for (const auto& worker : workers_) started += !worker->runsDpcs && worker->queue == queue;
  return started;
}

bool DeterministicScheduler::AssignWorkLocked() {
  std::optional<WorkQueue> queue = StartableQueueLocked();
  if (!queue) return false;
  EmuThread* worker = IdleWorkerLocked(*queue);
  PIO_WORKITEM item = PopWorkLocked(*queue);
  worker->job = [this, item] { RunWorkItem(item); };
  ready_.push_back(worker);
  return true;
}

EmuThread* DeterministicScheduler::IdleWorkerLocked(WorkQueue queue) {
  std::vector<EmuThread*>& idle = idleWorkers_[static_cast<int>(queue)];
  if (!idle.empty()) {
    EmuThread* worker = idle.back();
    idle.pop_back();
    return worker;
  }
  int started = WorkersStartedLocked(queue);
  if (started == kWorkersPerQueue[static_cast<int>(queue)]) return nullptr;
  EmuThread* worker =
      NewThreadLocked("worker " + std::to_string(started + 1) + " (" + WorkQueueName(queue) + ")");
  worker->queue = queue;
  return worker;
}

// Exploring, a DPC runs on a thread of its own; the explorer bounds them by the processors.
EmuThread* DeterministicScheduler::DpcRunnerLocked() {
  if (!idleDpcRunners_.empty()) {
    EmuThread* runner = idleDpcRunners_.back();
    idleDpcRunners_.pop_back();
    return runner;
  }
  EmuThread* runner = NewThreadLocked("DPC runner " + std::to_string(workers_.size() + 1));
  runner->runsDpcs = true;
  return runner;
}

EmuThread* DeterministicScheduler::NewThreadLocked(const std::string& name) {
  auto thread = std::make_unique<EmuThread>(nullptr);
  thread->key = nextKey_++;
  thread->ownContext = std::make_unique<Context>(name);
  thread->context = thread->ownContext.get();
  EmuThread* raw = thread.get();
  raw->fiber = std::make_unique<Fiber>([this, raw] { WorkerMain(raw); });
  workers_.push_back(std::move(thread));
  return raw;
}

void DeterministicScheduler::WorkerMain(EmuThread* self) {
  // First switched to by HandOver, which holds the kernel lock.
  tlsThread = self;
  tlsCurrentContext = self->context;
  std::unique_lock<std::mutex> lock(lock_, std::adopt_lock);
  while (!self->exit) {
    std::function<void()> job = std::move(self->job);
    self->job = nullptr;
    lock.unlock();
    job();
    lock.lock();
    self->atDispatch = false;
    if (self->runsDpcs)
      idleDpcRunners_.push_back(self);
    else
      idleWorkers_[static_cast<int>(self->queue)].push_back(self);
    Schedule(lock, self);
  }
  // Shutdown handed the baton over to end this fiber; it takes it back, with the lock held.
  running_ = &testThread_;
  lock.release();
  self->fiber->SwitchAway(*testThread_.fiber);
}

std::string DeterministicScheduler::DescribeBlockedLocked() const {
  std::string text;
  for (const Waiter* w : waiters_) text += "  " + w->context->name + " waits on " + w->what() + "\n";
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
  for (std::vector<EmuThread*>* idle : {&idleWorkers_[0], &idleWorkers_[1], &idleDpcRunners_}) {
    exiting.insert(exiting.end(), idle->begin(), idle->end());
    idle->clear();
  }
  for (EmuThread* worker : exiting) {
    worker->exit = true;
    HandOver(lock, worker, me);
  }
  lock.unlock();
  for (auto& worker : workers_) {
    if (std::find(exiting.begin(), exiting.end(), worker.get()) != exiting.end()) continue;
    // Still blocked in a wait, which lives on its stack and in this scheduler: both stay.
    clean_ = false;
    KeepForever(worker.release());
  }
  workers_.clear();
}

}  // namespace emu
