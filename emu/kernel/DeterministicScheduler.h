// Deterministic execution: emulated threads are OS threads, but only the holder of a baton
// runs, and it gives the baton up only when it blocks. DPCs, timers and work items run at
// those points in a fixed order, and time is virtual: it moves only when nothing can run.
#pragma once

#include <atomic>
#include <memory>
#include <thread>

#include "emu/kernel/Scheduler.h"

namespace emu {

class EmuThread {
 public:
  explicit EmuThread(Context* context) : context(context) {}
  Context* context;
  std::unique_ptr<Context> ownContext;
  std::condition_variable cv;      // wakes the thread when it is handed the baton
  PIO_WORKITEM assigned = nullptr;  // the work item a worker is to run next
  WorkQueue queue = WorkQueue::Critical;  // a worker's
  bool exit = false;
  std::thread thread;
};

class DeterministicScheduler : public Scheduler {
 public:
  DeterministicScheduler();  // the constructing thread is the test thread and holds the baton
  ~DeterministicScheduler() override;

  uint64_t Now() override { return now_.load(); }
  void RunPending() override;
  void AdvanceTime(uint64_t hundredNs) override;
  void Shutdown() override;
  bool Clean() const override { return clean_; }

 protected:
  void Block(std::unique_lock<std::mutex>& lock, Waiter& waiter) override;
  void OnWaiterWoken(Waiter& waiter) override;

 private:
  EmuThread* Self();
  // Runs whatever comes next until 'me' may continue. Called by the baton holder.
  void Schedule(std::unique_lock<std::mutex>& lock, EmuThread* me);
  void HandOver(std::unique_lock<std::mutex>& lock, EmuThread* to, EmuThread* me);
  // Hands the next queued work item to an idle worker of its queue; false when none can start.
  bool AssignWorkLocked();
  EmuThread* IdleWorkerLocked(WorkQueue queue);  // null when all of the queue's are busy
  void WorkerMain(EmuThread* self);
  std::string DescribeBlockedLocked() const;

  std::atomic<uint64_t> now_{0};
  EmuThread testThread_;
  // The fields below are guarded by the kernel lock.
  EmuThread* running_;
  std::deque<EmuThread*> ready_;
  std::vector<EmuThread*> idleWorkers_[kWorkQueues];
  std::vector<std::unique_ptr<EmuThread>> workers_;
  EmuThread* parked_ = nullptr;  // the thread in RunPending or AdvanceTime
  bool parkedAdvances_ = false;
  uint64_t parkedUntil_ = 0;
  bool clean_ = true;
};

}  // namespace emu
