// Events, mutexes and KeWaitForSingleObject. Object state lives in the DISPATCHER_HEADER
// and changes under the kernel lock; the scheduler decides how a blocked wait is served.
#include <cstdio>

#include "emu/kernel/Kernel.h"

using emu::Context;
using emu::CurrentContext;
using emu::Kernel;

namespace {

constexpr UCHAR kMutantObject = 2;
constexpr UCHAR kTimerNotificationObject = 8;

std::string Describe(const char* kind, const void* object) {
  char text[64];
  std::snprintf(text, sizeof text, "%s at %p", kind, object);
  return text;
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  emu::SchedulingPoint();
  Kernel& kernel = Kernel::Current();
  if (CurrentContext().irql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "KeSetEvent above DISPATCH_LEVEL");
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(kernel.scheduler().Lock());
    previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    kernel.scheduler().SatisfyWaitersLocked();
  }
  emu::SchedulingPoint();  // a woken waiter runs at once on another processor
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(Kernel::Current().scheduler().Lock());
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(Kernel::Current().scheduler().Lock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> guard(Kernel::Current().scheduler().Lock());
  return Event->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  Mutex->Header.Type = kMutantObject;
  Mutex->Header.SignalState = 1;
  Mutex->Header.WaitListHead.Flink = Mutex->Header.WaitListHead.Blink = &Mutex->Header.WaitListHead;
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  emu::SchedulingPoint();
  Kernel& kernel = Kernel::Current();
  Context& context = CurrentContext();
  LONG previous;
  bool released = false;
  {
    std::lock_guard<std::mutex> guard(kernel.scheduler().Lock());
    previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != reinterpret_cast<struct _KTHREAD*>(&context)) {
      kernel.verifier().Report("mutex", "KeReleaseMutex of " + kernel.locks().ClassOf(Mutex) +
                                            " by " + context.name + ", which does not own it");
      return previous;
    }
    if (++Mutex->Header.SignalState == 1) {
      Mutex->OwnerThread = nullptr;
      released = true;
      kernel.scheduler().SatisfyWaitersLocked();
    }
  }
  if (released) kernel.locks().Released(context, Mutex);
  emu::SchedulingPoint();
  return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  emu::SchedulingPoint();
  Kernel& kernel = Kernel::Current();
  Context& context = CurrentContext();
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  bool mutex = header->Type == kMutantObject;
  bool mayBlock = !Timeout || Timeout->QuadPart != 0;
  if (mutex && context.irql > PASSIVE_LEVEL)
    kernel.verifier().Report("irql", "wait on mutex " + kernel.locks().ClassOf(Object) +
                                         " at IRQL " + std::to_string(context.irql) +
                                         " (mutex waits need PASSIVE_LEVEL)");
  else if (mayBlock && context.irql > APC_LEVEL)
    kernel.verifier().Report("irql", "KeWaitForSingleObject at IRQL " + std::to_string(context.irql) +
                                         " with a non-zero time-out");

  auto* owner = reinterpret_cast<struct _KTHREAD*>(&context);
  bool newlyOwned = false;
  std::function<bool()> trySatisfy;
  std::function<std::string()> what;
  if (mutex) {
    auto* m = static_cast<PRKMUTEX>(Object);
    what = [&kernel, Object] { return "mutex " + kernel.locks().ClassOf(Object); };
    trySatisfy = [m, owner, &newlyOwned] {
      if (m->Header.SignalState == 1) {
        m->Header.SignalState = 0;
        m->OwnerThread = owner;
        newlyOwned = true;
        return true;
      }
      if (m->OwnerThread == owner) {  // mutexes are recursive
        m->Header.SignalState--;
        return true;
      }
      return false;
    };
  } else {
    bool autoReset = header->Type == SynchronizationEvent;
    const char* kind = header->Type >= kTimerNotificationObject ? "timer" : "event";
    what = [kind, Object] { return Describe(kind, Object); };
    trySatisfy = [header, autoReset] {
      if (header->SignalState <= 0) return false;
      if (autoReset) header->SignalState = 0;
      return true;
    };
  }
  NTSTATUS status = kernel.scheduler().Wait(trySatisfy, Timeout, what);
  if (newlyOwned) kernel.locks().Acquired(context, Object, __builtin_return_address(0), true);
  return status;
}

}  // extern "C"
