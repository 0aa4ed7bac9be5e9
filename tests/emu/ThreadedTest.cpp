// The threaded kernel: DPCs on processor threads, work items on a worker pool that grows,
// real time, and spin locks that exclude for real. Bounded: every wait has a time-out.
#include <atomic>
#include <chrono>

#include "EmuTest.h"
#include "TimedCall.h"
#include "support/KSpinLockGuard.h"

namespace {

constexpr LONGLONG kFiveSeconds = -5 * 1000 * 10000LL;

class ThreadedTest : public ThreadedEmuTest {};

struct Shared {
  KSPIN_LOCK lock;
  long counter = 0;
  std::atomic<int> remaining{0};
  KEVENT done;
};

VOID NTAPI CountUnderLock(PKDPC, PVOID context, PVOID, PVOID) {
  auto* s = static_cast<Shared*>(context);
  for (int i = 0; i < 1000; ++i) {
    KSpinLockGuard guard(s->lock);
    s->counter++;
  }
  if (--s->remaining == 0) KeSetEvent(&s->done, 0, FALSE);
}

TEST_F(ThreadedTest, DpcsOnTwoProcessorsExcludeEachOtherUnderASpinLock) {
  Shared s;
  InitializeSpinLock(&s.lock, "Test::counter");
  KeInitializeEvent(&s.done, NotificationEvent, FALSE);
  KDPC dpcs[8];
  s.remaining = 8;
  for (KDPC& dpc : dpcs) KeInitializeDpc(&dpc, CountUnderLock, &s);
  for (KDPC& dpc : dpcs) KeInsertQueueDpc(&dpc, nullptr, nullptr);
  // The test thread contends for the lock too.
  for (int i = 0; i < 1000; ++i) {
    KSpinLockGuard guard(s.lock);
    s.counter++;
  }
  LARGE_INTEGER timeout;
  timeout.QuadPart = kFiveSeconds;
  ASSERT_EQ(KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  kernel().RunPending();
  EXPECT_EQ(s.counter, 9000);
}

struct Blocked {
  KEVENT release;
  KEVENT secondRan;
};

TEST_F(ThreadedTest, WorkItemBlockedOnAnEventDoesNotHoldUpTheNextOne) {
  DEVICE_OBJECT device{};
  static Blocked b;
  KeInitializeEvent(&b.release, NotificationEvent, FALSE);
  KeInitializeEvent(&b.secondRan, NotificationEvent, FALSE);
  PIO_WORKITEM first = IoAllocateWorkItem(&device);
  PIO_WORKITEM second = IoAllocateWorkItem(&device);
  IoQueueWorkItem(first, [](PDEVICE_OBJECT, PVOID) {
    KeWaitForSingleObject(&b.release, Executive, KernelMode, FALSE, nullptr);
  }, DelayedWorkQueue, nullptr);
  IoQueueWorkItem(second, [](PDEVICE_OBJECT, PVOID) { KeSetEvent(&b.secondRan, 0, FALSE); },
                  DelayedWorkQueue, nullptr);
  LARGE_INTEGER timeout;
  timeout.QuadPart = kFiveSeconds;
  EXPECT_EQ(KeWaitForSingleObject(&b.secondRan, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  KeSetEvent(&b.release, 0, FALSE);
  kernel().RunPending();
  IoFreeWorkItem(first);
  IoFreeWorkItem(second);
}

TEST_F(ThreadedTest, TimerFiresInRealTimeAndTimedWaitsEnd) {
  static KEVENT fired;
  KeInitializeEvent(&fired, NotificationEvent, FALSE);
  TimedCall fire([](PKDPC, PVOID, PVOID, PVOID) { KeSetEvent(&fired, 0, FALSE); }, nullptr);
  fire.ArmMs(20);
  LARGE_INTEGER timeout;
  timeout.QuadPart = kFiveSeconds;
  EXPECT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_GE(kernel().NowMs(), 20u);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  timeout.QuadPart = -10 * 10000LL;
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  kernel().RunPending();
}

struct LongDpc {
  KEVENT started;
  std::atomic<bool> finished{false};
};

// A DPC already running on one processor when KeFlushQueuedDpcs is called: the flush returns
// only after it, as each processor runs its DPCs one after the other. A driver frees what
// its DPCs use right after the flush.
TEST_F(ThreadedTest, FlushQueuedDpcsWaitsForADpcStillRunningOnAnotherProcessor) {
  static LongDpc d;
  KeInitializeEvent(&d.started, NotificationEvent, FALSE);
  d.finished = false;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {
    KeSetEvent(&d.started, 0, FALSE);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end) {
    }
    d.finished = true;
  }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  LARGE_INTEGER timeout;
  timeout.QuadPart = kFiveSeconds;
  ASSERT_EQ(KeWaitForSingleObject(&d.started, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(d.finished);
  kernel().RunPending();
}

}  // namespace
