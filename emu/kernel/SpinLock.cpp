// IRQL and spin locks. A KSPIN_LOCK holds the owning context while taken, so the verifier can
// tell recursion, foreign releases and (in deterministic mode) a lock nobody can release.
// Each call is a scheduling point; exploring, a contended acquisition spins by letting the
// other contexts run until the lock is free.
#include <sched.h>

#include "emu/kernel/Kernel.h"

using emu::Context;
using emu::CurrentContext;
using emu::Kernel;

namespace {

ULONG_PTR OwnerValue(Context& context) { return reinterpret_cast<ULONG_PTR>(&context); }

bool HoldsSpinLock(const Context& context) {
  for (const emu::HeldLock& held : context.held)
    if (!held.isMutex) return true;
  return false;
}

void Take(PKSPIN_LOCK lock, Context& context, const void* site) {
  Kernel& kernel = Kernel::Current();
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_ACQUIRE);
  if (owner == OwnerValue(context))
    kernel.verifier().Fatal("spinlock", "recursive acquisition of spin lock " +
                                            kernel.locks().ClassOf(lock) + " (it would spin forever)");
  ULONG_PTR expected = 0;
  while (!__atomic_compare_exchange_n(lock, &expected, OwnerValue(context), false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    if (kernel.scheduler().explorer())
      kernel.scheduler().Wait([lock] { return __atomic_load_n(lock, __ATOMIC_ACQUIRE) == 0; }, nullptr,
                              [&kernel, lock] { return "spin lock " + kernel.locks().ClassOf(lock); }, true);
    else if (kernel.mode() == emu::Mode::Deterministic)
      kernel.verifier().Fatal("spinlock", "spin lock " + kernel.locks().ClassOf(lock) +
                                              " is held by " +
                                              reinterpret_cast<Context*>(expected)->name +
                                              ", which cannot run until this context lets go");
    expected = 0;
    sched_yield();
  }
  kernel.locks().Acquired(context, lock, site, false);
}

void Give(PKSPIN_LOCK lock, Context& context, const char* function) {
  Kernel& kernel = Kernel::Current();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != OwnerValue(context)) {
    kernel.verifier().Report("spinlock", std::string(function) + " of spin lock " +
                                             kernel.locks().ClassOf(lock) +
                                             " that this context does not hold");
    return;
  }
  kernel.locks().Released(context, lock);
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  if (kernel.scheduler().explorer()) {
    std::lock_guard<std::mutex> guard(kernel.scheduler().Lock());
    kernel.scheduler().SatisfyWaitersLocked();  // contexts spinning on it
  }
}

}  // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return CurrentContext().irql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  emu::SchedulingPoint();
  Context& context = CurrentContext();
  if (NewIrql < context.irql)
    Kernel::Current().verifier().Report("irql", "KfRaiseIrql to " + std::to_string(NewIrql) +
                                                    " below the current IRQL " +
                                                    std::to_string(context.irql));
  KIRQL old = context.irql;
  context.irql = NewIrql;
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  emu::SchedulingPoint();
  Context& context = CurrentContext();
  Kernel& kernel = Kernel::Current();
  if (NewIrql > context.irql)
    kernel.verifier().Report("irql", "KfLowerIrql to " + std::to_string(NewIrql) +
                                         " above the current IRQL " + std::to_string(context.irql));
  if (NewIrql < DISPATCH_LEVEL && HoldsSpinLock(context))
    kernel.verifier().Report("irql", "IRQL lowered below DISPATCH_LEVEL while spin lock " +
                                         kernel.locks().Name(context.held.back().lockClass) + " is held");
  context.irql = NewIrql;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  emu::SchedulingPoint();
  Context& context = CurrentContext();
  if (context.irql > DISPATCH_LEVEL)
    Kernel::Current().verifier().Report("irql", "KfAcquireSpinLock at IRQL " +
                                                    std::to_string(context.irql));
  KIRQL old = context.irql;
  context.irql = DISPATCH_LEVEL;
  Take(SpinLock, context, __builtin_return_address(0));
  return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Context& context = CurrentContext();
  Kernel& kernel = Kernel::Current();
  if (context.irql != DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "KfReleaseSpinLock of " + kernel.locks().ClassOf(SpinLock) +
                                         " at IRQL " + std::to_string(context.irql) +
                                         " (a held spin lock means DISPATCH_LEVEL)");
  if (NewIrql > DISPATCH_LEVEL)
    kernel.verifier().Report("irql", "KfReleaseSpinLock restoring IRQL " + std::to_string(NewIrql));
  Give(SpinLock, context, "KfReleaseSpinLock");
  if (NewIrql < DISPATCH_LEVEL && HoldsSpinLock(context))
    kernel.verifier().Report("irql", "releasing " + kernel.locks().ClassOf(SpinLock) +
                                         " lowers IRQL while spin lock " +
                                         kernel.locks().Name(context.held.back().lockClass) + " is still held");
  context.irql = NewIrql;
  if (NewIrql == PASSIVE_LEVEL) kernel.PreemptionPoint(SpinLock);
  emu::SchedulingPoint();
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  emu::SchedulingPoint();
  Context& context = CurrentContext();
  if (context.irql != DISPATCH_LEVEL)
    Kernel::Current().verifier().Report("irql", "KeAcquireSpinLockAtDpcLevel at IRQL " +
                                                    std::to_string(context.irql));
  Take(SpinLock, context, __builtin_return_address(0));
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Give(SpinLock, CurrentContext(), "KeReleaseSpinLockFromDpcLevel");
  emu::SchedulingPoint();
}

}  // extern "C"
