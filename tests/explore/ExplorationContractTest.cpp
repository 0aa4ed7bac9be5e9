// The exploring scheduler's contract: a seed replays its schedule exactly, and races a fixed
// order hides are found within a bounded number of schedules. The drivers here are tiny and
// carry one planted fault each.
#include <gtest/gtest.h>

#include "ScheduleCampaign.h"
#include "emu/kernel/Kernel.h"

namespace {

constexpr uint64_t kTinySteps = 40;
constexpr int kBoundedSchedules = 200;

// A counter bumped from a DPC and from a thread, read and written around a platform call (a
// lock that guards something else), as a driver does that forgot which lock covers it.
struct Counter {
  KSPIN_LOCK unrelated = 0;
  KSPIN_LOCK guard = 0;
  int value = 0;
  bool locked = false;
  KDPC dpc;
  KTIMER timer;
};

// How the DPC comes: queued by the thread, or by a timer the thread sets with no delay, whose
// DPC the platform queues at once and may run on the other processor while the thread goes on.
enum class DpcSource { Queued, TimerWithNoDelay };
const DpcSource kDpcSources[] = {DpcSource::Queued, DpcSource::TimerWithNoDelay};
const char* Name(DpcSource source) { return source == DpcSource::Queued ? "queued DPC" : "timer with no delay"; }

void Increment(Counter* counter) {
  KIRQL irql = KfAcquireSpinLock(counter->locked ? &counter->guard : &counter->unrelated);
  int value = counter->value;
  if (counter->locked) {
    counter->value = value + 1;
    KfReleaseSpinLock(&counter->guard, irql);
    return;
  }
  KfReleaseSpinLock(&counter->unrelated, irql);
  counter->value = value + 1;
}

VOID NTAPI IncrementDpc(PKDPC, PVOID context, PVOID, PVOID) { Increment(static_cast<Counter*>(context)); }

ScheduleBody CounterBody(bool locked, DpcSource source) {
  return [locked, source] {
    Counter counter;
    counter.locked = locked;
    KeInitializeDpc(&counter.dpc, IncrementDpc, &counter);
    if (source == DpcSource::Queued) {
      KeInsertQueueDpc(&counter.dpc, nullptr, nullptr);
    } else {
      KeInitializeTimer(&counter.timer);
      LARGE_INTEGER now = {};
      KeSetTimer(&counter.timer, now, &counter.dpc);
    }
    Increment(&counter);
    emu::Kernel::Current().RunPending();
    return counter.value == 2 ? "" : "an increment was lost: the counter is " + std::to_string(counter.value);
  };
}

TEST(ExplorationContractTest, UnlockedCounterLosesAnUpdateWithinTheBoundAndTheSeedReplaysIt) {
  for (DpcSource source : kDpcSources) {
    SCOPED_TRACE(Name(source));
    CampaignResult found = RunCampaign(kBoundedSchedules, kTinySteps, CounterBody(false, source));
    ASSERT_TRUE(found.failure) << "the lost update was not found in " << found.schedules << " schedules";
    emu::Exploration again;
    again.seed = found.failure->seed;
    again.stepsEstimate = kTinySteps;
    ScheduleOutcome replay = RunSchedule(again, CounterBody(false, source));
    EXPECT_EQ(replay.failure, found.failure->failure);
    EXPECT_EQ(replay.trace, found.failure->trace);
  }
}

TEST(ExplorationContractTest, CounterUnderItsLockHoldsInEverySchedule) {
  for (DpcSource source : kDpcSources) {
    CampaignResult result = RunCampaign(kBoundedSchedules, kTinySteps, CounterBody(true, source));
    EXPECT_FALSE(result.failure) << Name(source) << ": " << Describe(result);
  }
}

// A worker that signals its waiter and then still touches the block the waiter frees.
struct Job {
  KEVENT done;
  LONG finished;
};

VOID NTAPI FinishJob(PDEVICE_OBJECT, PVOID context) {
  auto* job = static_cast<Job*>(context);
  KeSetEvent(&job->done, 0, FALSE);
  job->finished = 1;
}

std::string WaitForJobAndFree() {
  static DEVICE_OBJECT device;
  auto* job = static_cast<Job*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Job), 'bojT'));
  KeInitializeEvent(&job->done, NotificationEvent, FALSE);
  job->finished = 0;
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  IoQueueWorkItem(item, FinishJob, DelayedWorkQueue, job);
  KeWaitForSingleObject(&job->done, Executive, KernelMode, FALSE, nullptr);
  ExFreePoolWithTag(job, 'bojT');
  emu::Kernel::Current().RunPending();
  IoFreeWorkItem(item);
  return "";
}

TEST(ExplorationContractTest, UseAfterFreeBehindASignalIsFoundAndItsSeedPrinted) {
#if !defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the freed block is only watched in the AddressSanitizer build";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RunCampaign(kBoundedSchedules, kTinySteps, WaitForJobAndFree),
               "heap-use-after-free.*the failing schedule: seed [0-9]+");
}

// Many contexts, many choices: two equal seeds choose alike, and seeds differ among themselves.
std::string Crowd() {
  Counter counters[3];
  for (Counter& counter : counters) {
    counter.locked = true;
    KeInitializeDpc(&counter.dpc, IncrementDpc, &counter);
    KeInsertQueueDpc(&counter.dpc, nullptr, nullptr);
    Increment(&counter);
  }
  emu::Kernel::Current().RunPending();
  return "";
}

TEST(ExplorationContractTest, SeedReplaysItsScheduleExactly) {
  std::vector<std::vector<uint64_t>> traces;
  for (uint64_t seed : {4, 4, 5, 5, 6, 8}) {
    emu::Exploration exploration;
    exploration.seed = seed;
    exploration.stepsEstimate = kTinySteps;
    ScheduleOutcome outcome = RunSchedule(exploration, Crowd);
    EXPECT_EQ(outcome.failure, "");
    traces.push_back(outcome.trace);
  }
  EXPECT_EQ(traces[0], traces[1]);
  EXPECT_EQ(traces[2], traces[3]);
  EXPECT_GT(traces[0].size(), 10u);
  EXPECT_TRUE(traces[0] != traces[2] || traces[0] != traces[4] || traces[0] != traces[5])
      << "different seeds all chose the same schedule";
}

}  // namespace
