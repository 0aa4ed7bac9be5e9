// What runs when: waits on dispatcher objects, DPCs, timers and work items. The base class
// keeps the queues; DeterministicScheduler and ThreadedScheduler decide how they are run.
#pragma once

#include <platform.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emu/kernel/Context.h"
#include "emu/kernel/ScheduleExplorer.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  WORK_QUEUE_TYPE queueType;
  bool queued;
};

namespace emu {

enum class Mode { Deterministic, Threaded };

// The system's worker threads: a fixed few per queue, as a small system starts them (the
// hyper-critical queue counts as critical). Work queued while every worker of its queue is
// busy waits for one to finish, so a work item that waits for another work item of its queue
// can wait for ever; the deterministic scheduler reports that as a deadlock.
enum class WorkQueue { Critical, Delayed };
constexpr int kWorkQueues = 2;
constexpr int kWorkersPerQueue[kWorkQueues] = {5, 3};
inline const char* WorkQueueName(WorkQueue queue) { return queue == WorkQueue::Critical ? "critical" : "delayed"; }

class EmuThread;

// A thread blocked in a wait. trySatisfy runs under the kernel lock and takes the object
// (resets a synchronization event, acquires a mutex) when it succeeds.
struct Waiter {
  Context* context = nullptr;
  EmuThread* thread = nullptr;
  std::function<bool()> trySatisfy;
  bool hasDeadline = false;
  uint64_t deadline = 0;  // emulated time, 100-ns units
  bool done = false;
  bool spinning = false;  // on a spin lock: it keeps its processor while it waits
  NTSTATUS result = STATUS_SUCCESS;
  std::condition_variable cv;
  std::function<std::string()> what;  // names what it waits on, asked only for a report
};

class Scheduler {
 public:
  virtual ~Scheduler() = default;

  std::mutex& Lock() { return lock_; }

  // Waits until trySatisfy succeeds or the relative time-out (100-ns units, null: none)
  // runs out. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
  NTSTATUS Wait(std::function<bool()> trySatisfy, const LARGE_INTEGER* timeout,
                std::function<std::string()> what, bool spinning = false);
  // A scheduling point: the platform call the driver makes here may be overtaken by any other
  // thread, DPC or work item. Only an exploring scheduler takes it.
  virtual void Preempt() {}
  virtual const ScheduleExplorer* explorer() const { return nullptr; }
  // Call with Lock() held after an object's state changed: waiters that can be satisfied are.
  void SatisfyWaitersLocked();

  bool InsertDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
  bool RemoveDpc(PKDPC dpc);
  // KeFlushQueuedDpcs: returns once every DPC queued or running at the call has finished, as
  // on the platform, where each processor runs its DPCs one after the other.
  void FlushDpcs();
  // A background timer is the platform's own periodic one (NDIS's hang check): it fires
  // while time passes, but does not make it pass when every thread waits for ever, which
  // stays a deadlock.
  bool SetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, bool background = false);
  bool CancelTimer(PKTIMER timer);
  void QueueWork(PIO_WORKITEM item);
  // Queued plus running work items allocated on the device.
  int WorkFor(PDEVICE_OBJECT device);
  // A work routine may still be returning when its driver's halt or unload ends: the reference
  // the queued item holds on its device object keeps the driver loaded until it has. This lets
  // those routines run to their end, after whatever the driver freed.
  void LetRunningWorkReturn(PDEVICE_OBJECT device);

  // Emulated time since boot in 100-ns units.
  virtual uint64_t Now() = 0;

  // Runs everything runnable at the current time (threaded: waits until the system is idle).
  virtual void RunPending() = 0;
  // Lets emulated time pass, running what becomes due (threaded: real time passes).
  virtual void AdvanceTime(uint64_t hundredNs) = 0;
  virtual void Shutdown() = 0;
  // False when a thread stayed blocked through Shutdown; the scheduler must then outlive it.
  virtual bool Clean() const = 0;

  // Objects of the kernel's queues lying inside [start, start + length): a freed block must
  // hold none of them.
  std::vector<std::string> QueuedObjectsIn(const void* start, size_t length);
  // What is still queued or armed: reported when a test or a halt ends.
  std::vector<std::string> Pending();

 protected:
  virtual void Block(std::unique_lock<std::mutex>& lock, Waiter& waiter) = 0;
  virtual void OnDpcQueued() {}
  virtual void OnTimersChanged() {}
  virtual void OnWorkQueued() {}

  // A DPC as it was taken from the queue: it may be queued again, with other arguments, while
  // it runs, so what it runs with is read when it is taken, as the platform does.
  struct TakenDpc {
    PKDPC dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context;
    PVOID argument1;
    PVOID argument2;
    uint64_t taken;  // numbers it among the DPCs taken
  };
  // Runs a DPC taken from the queue (kernel lock not held) in a DPC context at DISPATCH_LEVEL.
  void RunDpc(const TakenDpc& dpc);
  // Runs a work item (kernel lock not held) in the calling worker's PASSIVE_LEVEL context.
  void RunWorkItem(PIO_WORKITEM item);
  // Takes the next DPC, counted as running from now on; false when none is queued.
  bool PopDpcLocked(TakenDpc* dpc);
  // Null when the queue is empty.
  PIO_WORKITEM PopWorkLocked(WorkQueue queue);
  std::deque<PIO_WORKITEM>& WorkLocked(WorkQueue queue) {
    return queue == WorkQueue::Critical ? criticalWork_ : delayedWork_;
  }
  const std::deque<PIO_WORKITEM>& WorkLocked(WorkQueue queue) const {
    return queue == WorkQueue::Critical ? criticalWork_ : delayedWork_;
  }
  // Fires timers due at 'now': signals them and queues their DPCs.
  void FireTimersLocked(uint64_t now);
  uint64_t NextTimerDueLocked(bool background = true) const;  // UINT64_MAX when none
  void DisarmLocked(PKTIMER timer);
  void TimeOutWaitersLocked(uint64_t now);
  void Wake(Waiter& waiter, NTSTATUS result);
  virtual void OnWaiterWoken(Waiter& waiter) = 0;

  std::mutex lock_;  // the kernel lock: dispatcher state, queues, timers; nothing is called out under it
  std::list<Waiter*> waiters_;
  std::deque<PKDPC> dpcs_;
  uint64_t dpcsTaken_ = 0;
  std::vector<uint64_t> runningDpcs_;  // by the order they were taken in, ascending
  // Armed timers by due time, those due together in the order they were set: a few at a
  // time, and one set and fired per frame, so a sorted array beats a tree.
  std::vector<std::pair<uint64_t, PKTIMER>> timers_;
  std::set<PKTIMER> backgroundTimers_;  // those of timers_ armed as background ones
  std::deque<PIO_WORKITEM> criticalWork_;
  std::deque<PIO_WORKITEM> delayedWork_;
  std::map<PDEVICE_OBJECT, int> runningWork_;
};

}  // namespace emu
