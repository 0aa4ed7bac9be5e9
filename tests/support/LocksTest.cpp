// Spin lock and mutex guards against the emulated kernel: IRQL restored, locks released on
// every path, a lock record released by a routine other than the one that took it.
#include "EmuTest.h"

#include "support/KSpinLockGuard.h"
#include "support/MutexGuard.h"
#include "support/SpinLock.h"

namespace {

class LocksTest : public EmuTest {};

TEST_F(LocksTest, SpinLockGuardRaisesAndRestoresTheCallersIrql) {
  SpinLock lock("Test::lock");
  {
    SpinLockGuard guard(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock.lock, 0u);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock.lock, 0u);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  {
    SpinLockGuard guard(lock);
  }
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "a DISPATCH_LEVEL caller stays there";
  KfLowerIrql(old);
}

TEST_F(LocksTest, GuardCanDropTheLockAroundACallOut) {
  SpinLock lock("Test::lock");
  SpinLockGuard guard(lock);
  guard.Unlock();
  EXPECT_EQ(lock.lock, 0u);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  guard.Relock();
  EXPECT_NE(lock.lock, 0u);
}

void ReleaseFromElsewhere(SpinLock& lock) { lock.Release(); }

TEST_F(LocksTest, RecordKeepsTheIrqlSoAnotherRoutineCanRelease) {
  SpinLock lock("Test::lock");
  lock.Acquire();
  ReleaseFromElsewhere(lock);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock.lock, 0u);
}

TEST_F(LocksTest, ReleaserDropsACallersLockForTheScope) {
  SpinLock lock("Test::lock");
  SpinLockGuard guard(lock);
  {
    SpinLockReleaser released(lock);
    EXPECT_EQ(lock.lock, 0u);
  }
  EXPECT_NE(lock.lock, 0u);
}

TEST_F(LocksTest, KSpinLockGuardKeepsTheIrqlInTheGuard) {
  KSPIN_LOCK outer, inner;
  InitializeSpinLock(&outer, "Test::outer");
  InitializeSpinLock(&inner, "Test::inner");
  {
    KSpinLockGuard a(outer);
    KSpinLockGuard b(inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

struct Contender {
  KMUTEX* mutex;
  KEVENT inside;
};

TEST_F(LocksTest, MutexGuardExcludesAWorkerUntilTheScopeEnds) {
  DEVICE_OBJECT device{};
  static KMUTEX mutex;
  static int insideCount;
  insideCount = 0;
  InitializeMutex(&mutex, "Test::mutex");
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  {
    MutexGuard guard(mutex);
    IoQueueWorkItem(item, [](PDEVICE_OBJECT, PVOID) {
      MutexGuard inner(mutex);
      insideCount++;
    }, DelayedWorkQueue, nullptr);
    kernel().RunPending();
    EXPECT_EQ(insideCount, 0) << "the worker entered while the test held the mutex";
  }
  kernel().RunPending();
  EXPECT_EQ(insideCount, 1);
  IoFreeWorkItem(item);
}

}  // namespace
