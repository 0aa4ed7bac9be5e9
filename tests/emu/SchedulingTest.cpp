// The deterministic kernel's contract: DPCs, timers, work items and waits run when and where
// the platform would run them, on a virtual clock.
#include <chrono>

#include "EmuTest.h"

namespace {

struct DpcRecord {
  int runs = 0;
  KIRQL irql = 0xFF;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* record = static_cast<DpcRecord*>(context);
  record->runs++;
  record->irql = KeGetCurrentIrql();
}

class SchedulingTest : public EmuTest {};

TEST_F(SchedulingTest, DpcQueuedTwiceRunsOnceAtDispatchLevel) {
  DpcRecord record;
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_EQ(record.runs, 0) << "a DPC must not run inside KeInsertQueueDpc";
  kernel().RunPending();
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(record.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "a DPC that ran can be queued again";
  kernel().RunPending();
  EXPECT_EQ(record.runs, 2);
}

TEST_F(SchedulingTest, TimedWaitEndsAtItsVirtualTimeoutWithoutSleeping) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * 3600 * 1000;  // one hour
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(kernel().NowMs(), 3600u * 1000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(SchedulingTest, ZeroTimeoutPollsWithoutLettingTimePass) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(kernel().NowMs(), 0u);
}

TEST_F(SchedulingTest, TimerDpcFiresAtItsDueTimeAndCancelledTimerNever) {
  DpcRecord fired, cancelled;
  KDPC dpc1, dpc2;
  KTIMER timer1, timer2;
  KeInitializeDpc(&dpc1, RecordDpc, &fired);
  KeInitializeDpc(&dpc2, RecordDpc, &cancelled);
  KeInitializeTimer(&timer1);
  KeInitializeTimer(&timer2);
  LARGE_INTEGER due;
  due.QuadPart = -100 * 10000LL;
  EXPECT_FALSE(KeSetTimer(&timer1, due, &dpc1));
  EXPECT_FALSE(KeSetTimer(&timer2, due, &dpc2));
  EXPECT_TRUE(KeCancelTimer(&timer2));
  kernel().AdvanceTimeMs(99);
  EXPECT_EQ(fired.runs, 0);
  kernel().AdvanceTimeMs(1);
  EXPECT_EQ(fired.runs, 1);
  EXPECT_EQ(cancelled.runs, 0);
  EXPECT_FALSE(KeCancelTimer(&timer1)) << "a fired timer is no longer set";
}

struct WorkRecord {
  KIRQL irql = 0xFF;
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM item = nullptr;
  std::string context;
};

VOID NTAPI RecordWork(PDEVICE_OBJECT device, PVOID context) {
  auto* record = static_cast<WorkRecord*>(context);
  record->irql = KeGetCurrentIrql();
  record->device = device;
  record->context = emu::CurrentContext().name;
  IoFreeWorkItem(record->item);  // freeing from the routine itself is allowed
}

TEST_F(SchedulingTest, TimerSetWithNoDelayExpiresWithoutTimePassing) {
  DpcRecord record;
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = 0;
  uint64_t start = kernel().NowMs();
  KeSetTimer(&timer, due, &dpc);
  EXPECT_EQ(record.runs, 0);
  kernel().RunPending();
  EXPECT_EQ(record.runs, 1);
  EXPECT_EQ(kernel().NowMs(), start);
}

TEST_F(SchedulingTest, WorkItemRunsAtPassiveLevelOnAWorker) {
  DEVICE_OBJECT device{};
  WorkRecord record;
  record.item = IoAllocateWorkItem(&device);
  ASSERT_NE(record.item, nullptr);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);  // queued from DISPATCH_LEVEL, as DPCs do
  IoQueueWorkItem(record.item, RecordWork, DelayedWorkQueue, &record);
  KfLowerIrql(old);
  EXPECT_EQ(record.device, nullptr);
  kernel().RunPending();
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_EQ(record.device, &device);
  EXPECT_EQ(record.context.rfind("worker", 0), 0u) << record.context;
}

struct MutexHandoff {
  KMUTEX mutex;
  KEVENT acquired;
  bool ownedWhileTestHeldIt = false;
};

VOID NTAPI TakeMutex(PDEVICE_OBJECT, PVOID context) {
  auto* h = static_cast<MutexHandoff*>(context);
  KeWaitForSingleObject(&h->mutex, Executive, KernelMode, FALSE, nullptr);
  KeSetEvent(&h->acquired, 0, FALSE);
  KeReleaseMutex(&h->mutex, FALSE);
}

TEST_F(SchedulingTest, WorkerBlocksOnAMutexUntilItsOwnerReleasesIt) {
  DEVICE_OBJECT device{};
  MutexHandoff h;
  KeInitializeMutex(&h.mutex, 0);
  KeInitializeEvent(&h.acquired, NotificationEvent, FALSE);
  KeWaitForSingleObject(&h.mutex, Executive, KernelMode, FALSE, nullptr);
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  IoQueueWorkItem(item, TakeMutex, DelayedWorkQueue, &h);
  kernel().RunPending();
  EXPECT_EQ(KeReadStateEvent(&h.acquired), 0) << "the worker got a mutex the test thread holds";
  KeReleaseMutex(&h.mutex, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&h.acquired, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  kernel().RunPending();
  IoFreeWorkItem(item);
}

TEST_F(SchedulingTest, SynchronizationEventReleasesOneWaitPerSignal) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(SchedulingTest, MutexIsRecursiveForItsOwner) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(mutex.Header.SignalState, 0) << "still owned after one of two releases";
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(mutex.Header.SignalState, 1);
}

TEST_F(SchedulingTest, CriticalWorkRunsBeforeDelayedWork) {
  DEVICE_OBJECT device{};
  static std::vector<int> order;
  order.clear();
  PIO_WORKITEM delayed = IoAllocateWorkItem(&device);
  PIO_WORKITEM critical = IoAllocateWorkItem(&device);
  IoQueueWorkItem(delayed, [](PDEVICE_OBJECT, PVOID) { order.push_back(2); }, DelayedWorkQueue, nullptr);
  IoQueueWorkItem(critical, [](PDEVICE_OBJECT, PVOID) { order.push_back(1); }, CriticalWorkQueue, nullptr);
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 2);
  kernel().RunPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 0);
  IoFreeWorkItem(delayed);
  IoFreeWorkItem(critical);
}

// A routine that has signalled its waiter may still be on its way out when the driver's halt
// returns; the halt check lets it return (later in virtual time) instead of reporting it.
TEST_F(SchedulingTest, WorkStillReturningIsLetFinishNotCountedAsQueued) {
  static DEVICE_OBJECT device{};
  static KEVENT signalled;
  static bool returned;
  returned = false;
  KeInitializeEvent(&signalled, NotificationEvent, FALSE);
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  IoQueueWorkItem(
      item,
      [](PDEVICE_OBJECT, PVOID) {
        KeSetEvent(&signalled, 0, FALSE);
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER tenMs;
        tenMs.QuadPart = -100000;
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tenMs);
        returned = true;
      },
      DelayedWorkQueue, nullptr);
  KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 1) << "signalled, not yet returned";
  EXPECT_FALSE(returned);
  kernel().scheduler().LetRunningWorkReturn(&device);
  EXPECT_TRUE(returned);
  EXPECT_EQ(kernel().scheduler().WorkFor(&device), 0);
  IoFreeWorkItem(item);
}

// Every delayed worker blocks on an event that one more work item sets: the platform starts a
// fixed few workers per queue, so the setter runs only when it is on another queue.
struct StarvedWorkers {
  DEVICE_OBJECT device{};
  KEVENT event;
  std::vector<PIO_WORKITEM> items;
  int released = 0;

  StarvedWorkers() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
  ~StarvedWorkers() {
    for (PIO_WORKITEM item : items) IoFreeWorkItem(item);
  }
  void Queue(PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue) {
    items.push_back(IoAllocateWorkItem(&device));
    IoQueueWorkItem(items.back(), routine, queue, this);
  }
  // Blocks every delayed worker, then queues the setter.
  void Stage(emu::Kernel& kernel, WORK_QUEUE_TYPE setterQueue) {
    for (int i = 0; i < emu::kWorkersPerQueue[static_cast<int>(emu::WorkQueue::Delayed)]; ++i)
      Queue(WaitForEvent, DelayedWorkQueue);
    kernel.RunPending();
    Queue(SetEvent, setterQueue);
  }
  static VOID WaitForEvent(PDEVICE_OBJECT, PVOID context) {
    auto* self = static_cast<StarvedWorkers*>(context);
    KeWaitForSingleObject(&self->event, Executive, KernelMode, FALSE, nullptr);
    self->released++;
  }
  static VOID SetEvent(PDEVICE_OBJECT, PVOID context) {
    KeSetEvent(&static_cast<StarvedWorkers*>(context)->event, 0, FALSE);
  }
};

TEST_F(SchedulingTest, WorkOfAnotherQueueStartsWhileEveryDelayedWorkerIsBlocked) {
  StarvedWorkers starved;
  starved.Stage(kernel(), CriticalWorkQueue);
  kernel().RunPending();
  EXPECT_EQ(starved.released, emu::kWorkersPerQueue[static_cast<int>(emu::WorkQueue::Delayed)]);
}

using SchedulingDeathTest = SchedulingTest;

TEST_F(SchedulingDeathTest, WaitThatNothingCanEndIsReportedAsDeadlock) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock");
}

// The platform's own periodic timers fire while time passes, but do not hide a deadlock.
TEST_F(SchedulingDeathTest, BackgroundTimerFiresAsTimePassesButADeadlockIsStillReported) {
  DpcRecord record;
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordDpc, &record);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER due;
  due.QuadPart = -2000 * 10000LL;
  kernel().scheduler().SetTimer(&timer, due, &dpc, true);
  kernel().AdvanceTimeMs(2000);
  EXPECT_EQ(record.runs, 1);
  kernel().scheduler().SetTimer(&timer, due, &dpc, true);
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock");
  KeCancelTimer(&timer);
}

TEST_F(SchedulingDeathTest, WorkItemWaitingForMoreWorkersThanTheQueueHasIsReportedAsDeadlock) {
  EXPECT_DEATH(
      {
        StarvedWorkers starved;
        starved.Stage(kernel(), DelayedWorkQueue);
        KeWaitForSingleObject(&starved.event, Executive, KernelMode, FALSE, nullptr);
      },
      "deadlock(.|\n)*work item .* waits for one of the 3 delayed workers, all busy");
}

}  // namespace
