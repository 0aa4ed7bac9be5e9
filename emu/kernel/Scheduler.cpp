#include "emu/kernel/Scheduler.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "emu/kernel/Kernel.h"

namespace emu {
namespace {

std::string Hex(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

thread_local uint64_t tlsDpcTaken = 0;  // of the DPC this thread runs

bool Inside(const void* object, const void* start, size_t length) {
  auto o = reinterpret_cast<uintptr_t>(object);
  auto s = reinterpret_cast<uintptr_t>(start);
  return o >= s && o < s + length;
}

}  // namespace

NTSTATUS Scheduler::Wait(std::function<bool()> trySatisfy, const LARGE_INTEGER* timeout,
                         std::function<std::string()> what, bool spinning) {
  std::unique_lock<std::mutex> lock(lock_);
  if (trySatisfy()) return STATUS_SUCCESS;
  Waiter waiter;
  if (timeout) {
    // Relative time-outs are negative; a positive value is an absolute time since boot.
    LONGLONG t = timeout->QuadPart;
    if (t == 0) return STATUS_TIMEOUT;
    waiter.hasDeadline = true;
    waiter.deadline = t < 0 ? Now() + static_cast<uint64_t>(-t) : static_cast<uint64_t>(t);
    if (waiter.deadline <= Now()) return STATUS_TIMEOUT;
  }
  waiter.context = &CurrentContext();
  waiter.trySatisfy = std::move(trySatisfy);
  waiter.what = std::move(what);
  waiter.spinning = spinning;
  waiters_.push_back(&waiter);
  Block(lock, waiter);
  return waiter.result;
}

void Scheduler::SatisfyWaitersLocked() {
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    Waiter* w = *it;
    if (w->trySatisfy()) {
      it = waiters_.erase(it);
      Wake(*w, STATUS_SUCCESS);
    } else {
      ++it;
    }
  }
}

void Scheduler::Wake(Waiter& waiter, NTSTATUS result) {
  waiter.done = true;
  waiter.result = result;
  OnWaiterWoken(waiter);
}

void Scheduler::TimeOutWaitersLocked(uint64_t now) {
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    Waiter* w = *it;
    if (w->hasDeadline && w->deadline <= now) {
      it = waiters_.erase(it);
      Wake(*w, STATUS_TIMEOUT);
    } else {
      ++it;
    }
  }
}

bool Scheduler::InsertDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (dpc->DpcData) return false;
    dpc->DpcData = dpc;  // non-null while queued
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpcs_.push_back(dpc);
  }
  OnDpcQueued();
  return true;
}

bool Scheduler::RemoveDpc(PKDPC dpc) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!dpc->DpcData) return false;
  for (auto it = dpcs_.begin(); it != dpcs_.end(); ++it) {
    if (*it == dpc) {
      dpcs_.erase(it);
      break;
    }
  }
  dpc->DpcData = nullptr;
  return true;
}

bool Scheduler::PopDpcLocked(TakenDpc* taken) {
  if (dpcs_.empty()) return false;
  PKDPC dpc = dpcs_.front();
  dpcs_.pop_front();
  dpc->DpcData = nullptr;  // it may be queued again while it runs
  *taken = {dpc, dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2,
            ++dpcsTaken_};
  runningDpcs_.push_back(taken->taken);
  return true;
}

void Scheduler::RunDpc(const TakenDpc& dpc) {
  // A DPC runs in a context of its own. Each thread keeps those its DPCs ran in, whose lists of
  // held locks the next ones reuse (DPCs nest where a wait lets queued work run).
  thread_local std::vector<std::unique_ptr<Context>> spares;
  std::unique_ptr<Context> own;
  if (spares.empty()) {
    own = std::make_unique<Context>("DPC");
  } else {
    own = std::move(spares.back());
    spares.pop_back();
  }
  {
    Context& context = *own;
    context.irql = DISPATCH_LEVEL;
    context.held.clear();
    context.inDpc = true;
    context.allocationOwner = nullptr;
    ContextScope scope(context);
    tlsDpcTaken = dpc.taken;
    PKDEFERRED_ROUTINE routine = dpc.routine;
    routine(dpc.dpc, dpc.context, dpc.argument1, dpc.argument2);
    Verifier& verifier = Kernel::Current().verifier();
    if (!context.held.empty())
      verifier.Report("spinlock", "DPC or timer routine " + Symbolize(reinterpret_cast<void*>(routine)) +
                                      " returned holding lock " +
                                      Kernel::Current().locks().Name(context.held.back().lockClass));
    if (context.irql != DISPATCH_LEVEL)
      verifier.Report("irql", "DPC or timer routine " + Symbolize(reinterpret_cast<void*>(routine)) +
                                  " returned at IRQL " + std::to_string(context.irql) +
                                  " instead of DISPATCH_LEVEL");
  }
  spares.push_back(std::move(own));
  std::lock_guard<std::mutex> guard(lock_);
  runningDpcs_.erase(std::find(runningDpcs_.begin(), runningDpcs_.end(), dpc.taken));
  SatisfyWaitersLocked();  // a flush may wait for this one
}

namespace {

// A DPC queued behind everything queued at the flush: when it runs, all of those have been
// taken from the queue, and only the ones taken before it can still be running.
struct FlushMarker {
  KDPC dpc;
  Scheduler* scheduler;
  std::mutex* lock;
  bool ran = false;
  uint64_t taken = 0;
};

VOID NTAPI MarkFlush(PKDPC, PVOID context, PVOID, PVOID) {
  auto* marker = static_cast<FlushMarker*>(context);
  std::lock_guard<std::mutex> guard(*marker->lock);
  marker->ran = true;
  marker->taken = tlsDpcTaken;
  marker->scheduler->SatisfyWaitersLocked();
}

}  // namespace

void Scheduler::FlushDpcs() {
  FlushMarker marker;
  marker.scheduler = this;
  marker.lock = &lock_;
  KeInitializeDpc(&marker.dpc, MarkFlush, &marker);
  InsertDpc(&marker.dpc, nullptr, nullptr);
  Wait([this, &marker] { return marker.ran && (runningDpcs_.empty() || *runningDpcs_.begin() >= marker.taken); },
       nullptr, [] { return "KeFlushQueuedDpcs"; });
}

bool Scheduler::SetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc, bool background) {
  bool wasSet;
  {
    std::lock_guard<std::mutex> guard(lock_);
    wasSet = timer->Header.Inserted != 0;
    if (wasSet) DisarmLocked(timer);
    LONGLONG t = dueTime.QuadPart;
    uint64_t due = t < 0 ? Now() + static_cast<uint64_t>(-t) : static_cast<uint64_t>(t);
    timer->DueTime.QuadPart = due;
    timer->Dpc = dpc;
    timer->Header.Inserted = 1;
    timer->Header.SignalState = 0;
    auto after = std::upper_bound(timers_.begin(), timers_.end(), due,
                                  [](uint64_t when, const auto& armed) { return when < armed.first; });
    timers_.insert(after, {due, timer});
    if (background) backgroundTimers_.insert(timer);
  }
  OnTimersChanged();
  return wasSet;
}

bool Scheduler::CancelTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!timer->Header.Inserted) return false;
  DisarmLocked(timer);
  timer->Header.Inserted = 0;
  return true;
}

void Scheduler::DisarmLocked(PKTIMER timer) {
  auto it = std::find_if(timers_.begin(), timers_.end(), [timer](const auto& armed) { return armed.second == timer; });
  if (it != timers_.end()) timers_.erase(it);
  backgroundTimers_.erase(timer);
}

void Scheduler::FireTimersLocked(uint64_t now) {
  while (!timers_.empty() && timers_.front().first <= now) {
    PKTIMER timer = timers_.front().second;
    timers_.erase(timers_.begin());
    backgroundTimers_.erase(timer);
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    if (timer->Dpc && !timer->Dpc->DpcData) {
      timer->Dpc->DpcData = timer->Dpc;
      timer->Dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(now));
      timer->Dpc->SystemArgument2 = nullptr;
      dpcs_.push_back(timer->Dpc);
    }
  }
  SatisfyWaitersLocked();
}

uint64_t Scheduler::NextTimerDueLocked(bool background) const {
  for (const auto& armed : timers_)
    if (background || !backgroundTimers_.count(armed.second)) return armed.first;
  return UINT64_MAX;
}


void Scheduler::QueueWork(PIO_WORKITEM item) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    item->queued = true;
    if (item->queueType == DelayedWorkQueue)
      delayedWork_.push_back(item);
    else
      criticalWork_.push_back(item);
  }
  OnWorkQueued();
}

PIO_WORKITEM Scheduler::PopWorkLocked(WorkQueue which) {
  std::deque<PIO_WORKITEM>& queue = WorkLocked(which);
  if (queue.empty()) return nullptr;
  PIO_WORKITEM item = queue.front();
  queue.pop_front();
  item->queued = false;
  runningWork_[item->device]++;
  return item;
}

void Scheduler::RunWorkItem(PIO_WORKITEM item) {
  // The routine may free the item; nothing of it is read after the call.
  PDEVICE_OBJECT device = item->device;
  PIO_WORKITEM_ROUTINE routine = item->routine;
  PVOID context = item->context;
  Context& self = CurrentContext();
  {
    // What a work item allocates, it allocates for its device's owner.
    AllocationOwnerScope owner(device);
    routine(device, context);
  }
  Verifier& verifier = Kernel::Current().verifier();
  if (!self.held.empty())
    verifier.Report("spinlock", "work item routine " + Symbolize(reinterpret_cast<void*>(routine)) +
                                    " returned holding lock " +
                                    Kernel::Current().locks().Name(self.held.back().lockClass));
  if (self.irql != PASSIVE_LEVEL) {
    verifier.Report("irql", "work item routine " + Symbolize(reinterpret_cast<void*>(routine)) +
                                " returned at IRQL " + std::to_string(self.irql));
    self.irql = PASSIVE_LEVEL;
  }
  std::lock_guard<std::mutex> guard(lock_);
  if (--runningWork_[device] == 0) runningWork_.erase(device);
  SatisfyWaitersLocked();
}

void Scheduler::LetRunningWorkReturn(PDEVICE_OBJECT device) {
  Wait([this, device] { return runningWork_.count(device) == 0; }, nullptr,
       [device] { return "work items of device " + Hex(device) + " returning"; });
}

int Scheduler::WorkFor(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(lock_);
  int count = 0;
  for (PIO_WORKITEM item : criticalWork_) count += item->device == device;
  for (PIO_WORKITEM item : delayedWork_) count += item->device == device;
  auto it = runningWork_.find(device);
  if (it != runningWork_.end()) count += it->second;
  return count;
}

std::vector<std::string> Scheduler::QueuedObjectsIn(const void* start, size_t length) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> found;
  for (PKDPC dpc : dpcs_)
    if (Inside(dpc, start, length)) found.push_back("a queued DPC at " + Hex(dpc));
  for (const auto& entry : timers_)
    if (Inside(entry.second, start, length)) found.push_back("an armed timer at " + Hex(entry.second));
  return found;
}

std::vector<std::string> Scheduler::Pending() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> pending;
  for (PKDPC dpc : dpcs_)
    pending.push_back("DPC " + Symbolize(reinterpret_cast<void*>(dpc->DeferredRoutine)) + " still queued");
  for (const auto& entry : timers_)
    pending.push_back("timer " + Hex(entry.second) + " still armed");
  for (PIO_WORKITEM item : criticalWork_)
    pending.push_back("work item " + Symbolize(reinterpret_cast<void*>(item->routine)) + " still queued");
  for (PIO_WORKITEM item : delayedWork_)
    pending.push_back("work item " + Symbolize(reinterpret_cast<void*>(item->routine)) + " still queued");
  for (Waiter* w : waiters_) pending.push_back(w->context->name + " still waiting on " + w->what());
  return pending;
}

}  // namespace emu
