#include "emu/kernel/ThreadedScheduler.h"

namespace emu {

ThreadedScheduler::ThreadedScheduler(int processors) : start_(std::chrono::steady_clock::now()) {
  for (int i = 0; i < processors; ++i) threads_.emplace_back(&ThreadedScheduler::ProcessorMain, this, i);
  threads_.emplace_back(&ThreadedScheduler::TimerMain, this);
}

ThreadedScheduler::~ThreadedScheduler() { Shutdown(); }

uint64_t ThreadedScheduler::Now() {
  auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

std::chrono::steady_clock::time_point ThreadedScheduler::ToRealTime(uint64_t emulated) const {
  return start_ + std::chrono::nanoseconds(emulated * 100);
}

void ThreadedScheduler::Block(std::unique_lock<std::mutex>& lock, Waiter& waiter) {
  while (!waiter.done) {
    if (!waiter.hasDeadline) {
      waiter.cv.wait(lock);
    } else if (waiter.cv.wait_until(lock, ToRealTime(waiter.deadline)) == std::cv_status::timeout &&
               !waiter.done) {
      waiters_.remove(&waiter);
      Wake(waiter, STATUS_TIMEOUT);
    }
  }
}

void ThreadedScheduler::ProcessorMain(int number) {
  Context context("processor " + std::to_string(number), PASSIVE_LEVEL);
  ContextScope scope(context);
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    dpcReady_.wait(lock, [this] { return stopping_ || !dpcs_.empty(); });
    if (stopping_) return;
    TakenDpc dpc;
    PopDpcLocked(&dpc);
    lock.unlock();
    RunDpc(dpc);
    lock.lock();
    if (IdleLocked()) idle_.notify_all();
  }
}

void ThreadedScheduler::TimerMain() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stopping_) {
    uint64_t next = NextTimerDueLocked();
    if (next == UINT64_MAX)
      timersChanged_.wait(lock);
    else
      timersChanged_.wait_until(lock, ToRealTime(next));
    bool hadDpcs = !dpcs_.empty();
    FireTimersLocked(Now());
    if (!hadDpcs && !dpcs_.empty()) dpcReady_.notify_all();
  }
}

void ThreadedScheduler::OnWorkQueued() {
  std::lock_guard<std::mutex> guard(lock_);
  for (WorkQueue queue : {WorkQueue::Critical, WorkQueue::Delayed}) {
    int q = static_cast<int>(queue);
    size_t queued = WorkLocked(queue).size();
    if (queued == 0) continue;
    if (static_cast<size_t>(idleWorkers_[q]) < queued && startedWorkers_[q] < kWorkersPerQueue[q] && !stopping_) {
      ++idleWorkers_[q];
      ++startedWorkers_[q];
      workers_.emplace_back(&ThreadedScheduler::WorkerMain, this, queue, startedWorkers_[q]);
    }
    workReady_[q].notify_one();
  }
}

void ThreadedScheduler::WorkerMain(WorkQueue queue, int number) {
  int q = static_cast<int>(queue);
  Context context("worker " + std::to_string(number) + " (" + WorkQueueName(queue) + ")");
  ContextScope scope(context);
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    workReady_[q].wait(lock, [this, queue] { return stopping_ || !WorkLocked(queue).empty(); });
    if (stopping_) return;
    PIO_WORKITEM item = PopWorkLocked(queue);
    --idleWorkers_[q];
    ++busyWorkers_;
    lock.unlock();
    RunWorkItem(item);
    lock.lock();
    --busyWorkers_;
    ++idleWorkers_[q];
    if (IdleLocked()) idle_.notify_all();
  }
}

bool ThreadedScheduler::IdleLocked() const {
  return dpcs_.empty() && runningDpcs_.empty() && criticalWork_.empty() && delayedWork_.empty() &&
         busyWorkers_ == 0;
}

void ThreadedScheduler::RunPending() {
  std::unique_lock<std::mutex> lock(lock_);
  idle_.wait(lock, [this] { return IdleLocked(); });
}

void ThreadedScheduler::AdvanceTime(uint64_t hundredNs) {
  std::this_thread::sleep_for(std::chrono::nanoseconds(hundredNs * 100));
  RunPending();
}

void ThreadedScheduler::Shutdown() {
  {
    std::unique_lock<std::mutex> lock(lock_);
    if (stopping_) return;
    // Work still running gets a bounded grace period; a worker blocked for good keeps its
    // thread, and this scheduler must then outlive it.
    clean_ = idle_.wait_for(lock, std::chrono::seconds(10), [this] { return IdleLocked(); });
    stopping_ = true;
  }
  dpcReady_.notify_all();
  timersChanged_.notify_all();
  for (std::condition_variable& ready : workReady_) ready.notify_all();
  for (std::thread& t : threads_) clean_ ? t.join() : t.detach();
  for (std::thread& t : workers_) clean_ ? t.join() : t.detach();
  threads_.clear();
  workers_.clear();
}

}  // namespace emu
