// Deterministic execution: emulated threads are fibers on the OS thread that made the
// scheduler; only the holder of a baton runs, and it gives the baton up only when it blocks.
// DPCs, timers and work items run at those points in a fixed order, and time is virtual: it
// moves only when nothing can run.
// Exploring, a seeded explorer instead picks what runs at every platform call too: threads
// switch, and DPCs and work items start on threads of their own, as on a multiprocessor.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "emu/kernel/Fiber.h"
#include "emu/kernel/ScheduleExplorer.h"
#include "emu/kernel/Scheduler.h"

namespace emu {

class EmuThread {
 public:
  explicit EmuThread(Context* context) : context(context) {}
  Context* context;
  std::unique_ptr<Context> ownContext;
  std::unique_ptr<Fiber> fiber;
  Context* suspendedIn = nullptr;  // the context it gave the baton up in (a DPC's, while one runs)
  std::function<void()> job;   // the work item (or, exploring, the DPC) a worker runs next
  WorkQueue queue = WorkQueue::Critical;  // a system worker's
  bool runsDpcs = false;       // exploring: a processor's thread for DPCs, not a system worker
  uint64_t key = 0;            // names the thread to the explorer
  bool atDispatch = false;     // its IRQL when it last gave up the baton: it holds a processor
  bool exit = false;
};

class DeterministicScheduler : public Scheduler {
 public:
  // The constructing thread is the test thread and holds the baton. With an exploration, the
  // explorer picks every step among what could run on 'processors' processors.
  explicit DeterministicScheduler(const Exploration* exploration = nullptr, int processors = 2);
  ~DeterministicScheduler() override;

  void Preempt() override;
  const ScheduleExplorer* explorer() const override { return explorer_.get(); }

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
  enum class Step { Ran, Resumed, Nothing };
  Step FixedStepLocked(std::unique_lock<std::mutex>& lock, EmuThread* me);
  Step ExploreStepLocked(std::unique_lock<std::mutex>& lock, EmuThread* me);
  std::vector<Candidate> CandidatesLocked() const;
  // Hands the baton to 'worker' to run 'job', named 'key' to the explorer.
  void StartLocked(std::unique_lock<std::mutex>& lock, EmuThread* me, EmuThread* worker, std::function<void()> job,
                   uint64_t key);
  void HandOver(std::unique_lock<std::mutex>& lock, EmuThread* to, EmuThread* me);
  // The queue whose next work item a worker could start now, critical first; none when every
  // queue with work has all its workers busy.
  std::optional<WorkQueue> StartableQueueLocked() const;
  // Hands the next queued work item to an idle worker of its queue; false when none can start.
  bool AssignWorkLocked();
  EmuThread* IdleWorkerLocked(WorkQueue queue);  // null when all of the queue's are busy
  int WorkersStartedLocked(WorkQueue queue) const;  // system workers of the queue, busy or idle
  EmuThread* DpcRunnerLocked();
  EmuThread* NewThreadLocked(const std::string& name);
  void WorkerMain(EmuThread* self);
  std::string DescribeBlockedLocked() const;

  std::atomic<uint64_t> now_{0};
  const int processors_;
  std::unique_ptr<ScheduleExplorer> explorer_;  // null: the fixed order
  EmuThread testThread_;
  // The fields below are guarded by the kernel lock.
  EmuThread* running_;
  std::deque<EmuThread*> ready_;
  std::vector<EmuThread*> idleWorkers_[kWorkQueues];
  std::vector<EmuThread*> idleDpcRunners_;
  std::vector<std::unique_ptr<EmuThread>> workers_;
  EmuThread* parked_ = nullptr;  // the thread in RunPending or AdvanceTime
  bool parkedAdvances_ = false;
  uint64_t parkedUntil_ = 0;
  bool clean_ = true;
  uint64_t nextKey_ = 2;   // the test thread is 1
  uint64_t workTaken_ = 0;  // work items started, to number the next one
  uint64_t expiries_ = 0;   // exploring: due timers chosen to expire, to number the next one
};

}  // namespace emu
