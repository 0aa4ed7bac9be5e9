// Threaded execution: real threads for the processors' DPCs, a timer thread, the worker
// threads of each work queue (started as work comes, up to the queue's fixed number), and
// real time.
#pragma once

#include <chrono>
#include <thread>

#include "emu/kernel/Scheduler.h"

namespace emu {

class ThreadedScheduler : public Scheduler {
 public:
  explicit ThreadedScheduler(int processors);
  ~ThreadedScheduler() override;

  uint64_t Now() override;
  // Waits until no DPC or work item is queued or running.
  void RunPending() override;
  void AdvanceTime(uint64_t hundredNs) override;
  void Shutdown() override;
  bool Clean() const override { return clean_; }

 protected:
  void Block(std::unique_lock<std::mutex>& lock, Waiter& waiter) override;
  void OnWaiterWoken(Waiter& waiter) override { waiter.cv.notify_one(); }
  void OnDpcQueued() override { dpcReady_.notify_one(); }
  void OnTimersChanged() override { timersChanged_.notify_one(); }
  void OnWorkQueued() override;

 private:
  void ProcessorMain(int number);
  void TimerMain();
  void WorkerMain(WorkQueue queue, int number);
  bool IdleLocked() const;
  std::chrono::steady_clock::time_point ToRealTime(uint64_t emulated) const;

  const std::chrono::steady_clock::time_point start_;
  // The fields below are guarded by the kernel lock.
  std::condition_variable dpcReady_;
  std::condition_variable timersChanged_;
  std::condition_variable workReady_[kWorkQueues];
  std::condition_variable idle_;
  int idleWorkers_[kWorkQueues] = {};
  int startedWorkers_[kWorkQueues] = {};
  int busyWorkers_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::vector<std::thread> workers_;
  bool clean_ = true;
};

}  // namespace emu
