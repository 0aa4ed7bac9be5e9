// Each rule the verifier claims, committed on purpose and caught.
#include "EmuTest.h"

#include "support/PoolTags.h"

namespace {

class VerifierTest : public EmuTest {};

TEST_F(VerifierTest, CatchesAWaitAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  KfLowerIrql(old);
  std::vector<emu::Violation> found = TakeViolations();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].rule, "irql");
  EXPECT_NE(found[0].message.find("KeWaitForSingleObject at IRQL 2"), std::string::npos);
  EXPECT_NE(found[0].site.find("VerifierTest"), std::string::npos) << found[0].site;
}

TEST_F(VerifierTest, CatchesPagedPoolAtDispatchLevel) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  PVOID p = ExAllocatePoolWithTag(PagedPool, 16, MakePoolTag('T', 'e', 's', 't'));
  KfLowerIrql(old);
  EXPECT_TRUE(TookViolation("irql", "paged pool"));
  ExFreePoolWithTag(p, 0);
}

TEST_F(VerifierTest, ReportsALeakedAllocationByItsTag) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 40, MakePoolTag('L', 'e', 'a', 'k'));
  kernel().CheckClean("at unload");
  EXPECT_TRUE(TookViolation("leak", "tagged 'Leak'"));
  ExFreePoolWithTag(p, 0);
}

TEST_F(VerifierTest, CatchesADoubleFreeAndAnUnknownPointer) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, MakePoolTag('D', 'b', 'l', 'F'));
  ExFreePoolWithTag(p, 0);
  ExFreePoolWithTag(p, 0);
  EXPECT_TRUE(TookViolation("pool", "double free"));
  int onStack = 0;
  ExFreePoolWithTag(&onStack, 0);
  EXPECT_TRUE(TookViolation("pool", "never allocated"));
}

TEST_F(VerifierTest, CatchesFreeingWithTheWrongFunctionOrTag) {
  PVOID p = nullptr;
  ASSERT_EQ(NdisAllocateMemoryWithTag(&p, 8, MakePoolTag('N', 'd', 'i', 's')), NDIS_STATUS_SUCCESS);
  ExFreePoolWithTag(p, 0);
  EXPECT_TRUE(TookViolation("pool", "NdisAllocateMemoryWithTag"));
  NdisFreeMemory(p, 0, 0);
  PVOID q = ExAllocatePoolWithTag(NonPagedPool, 8, MakePoolTag('R', 'i', 'g', 't'));
  ExFreePoolWithTag(q, MakePoolTag('W', 'r', 'n', 'g'));
  EXPECT_TRUE(TookViolation("pool", "tagged 'Rigt'"));
}

TEST_F(VerifierTest, CatchesALockOrderInversion) {
  KSPIN_LOCK a = 0, b = 0;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  NAME_LOCK_CLASS(&a, "Test::a");
  NAME_LOCK_CLASS(&b, "Test::b");
  KIRQL ia = KfAcquireSpinLock(&a);
  KIRQL ib = KfAcquireSpinLock(&b);
  KfReleaseSpinLock(&b, ib);
  KfReleaseSpinLock(&a, ia);
  EXPECT_EQ(kernel().verifier().Count(), 0u) << "one order alone is no fault";
  ib = KfAcquireSpinLock(&b);
  ia = KfAcquireSpinLock(&a);
  KfReleaseSpinLock(&a, ia);
  KfReleaseSpinLock(&b, ib);
  EXPECT_TRUE(TookViolation("lock-order", "Test::a is taken while Test::b is held"));
}

TEST_F(VerifierTest, CatchesAnInversionThroughAThirdLock) {
  KSPIN_LOCK a = 0, b = 0, c = 0;
  NAME_LOCK_CLASS(&a, "Test::a");
  NAME_LOCK_CLASS(&b, "Test::b");
  NAME_LOCK_CLASS(&c, "Test::c");
  KIRQL i1 = KfAcquireSpinLock(&a), i2 = KfAcquireSpinLock(&b);
  KfReleaseSpinLock(&b, i2);
  KfReleaseSpinLock(&a, i1);
  i1 = KfAcquireSpinLock(&b), i2 = KfAcquireSpinLock(&c);
  KfReleaseSpinLock(&c, i2);
  KfReleaseSpinLock(&b, i1);
  i1 = KfAcquireSpinLock(&c), i2 = KfAcquireSpinLock(&a);
  KfReleaseSpinLock(&a, i2);
  KfReleaseSpinLock(&c, i1);
  EXPECT_TRUE(TookViolation("lock-order", "Test::a is taken while Test::c is held"));
}

TEST_F(VerifierTest, CatchesReleaseOfALockNotHeldAndLoweringIrqlUnderALock) {
  KSPIN_LOCK a = 0, b = 0;
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KfReleaseSpinLock(&a, old);
  EXPECT_TRUE(TookViolation("spinlock", "does not hold"));
  KfLowerIrql(old);
  KIRQL ia = KfAcquireSpinLock(&a);
  KIRQL ib = KfAcquireSpinLock(&b);
  KfReleaseSpinLock(&a, ia);  // lowers to PASSIVE_LEVEL while b is still held
  EXPECT_TRUE(TookViolation("irql", "still held"));
  KfReleaseSpinLock(&b, ib);
  TakeViolations();  // b's release at the wrong IRQL follows from the first fault
}

VOID NTAPI LeaveLockHeld(PKDPC, PVOID context, PVOID, PVOID) {
  KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(context));
}

TEST_F(VerifierTest, CatchesADpcReturningWithALockHeld) {
  KSPIN_LOCK lock = 0;
  NAME_LOCK_CLASS(&lock, "Test::held");
  KDPC dpc;
  KeInitializeDpc(&dpc, LeaveLockHeld, &lock);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  kernel().RunPending();
  EXPECT_TRUE(TookViolation("spinlock", "returned holding lock Test::held"));
}

TEST_F(VerifierTest, CatchesAMutexReleasedByAThreadThatDoesNotOwnIt) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_TRUE(TookViolation("mutex", "does not own it"));
}

TEST_F(VerifierTest, CatchesFreeingMemoryThatHoldsAQueuedDpc) {
  auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), MakePoolTag('D', 'p', 'c', ' ')));
  KeInitializeDpc(dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  ExFreePoolWithTag(dpc, 0);
  EXPECT_TRUE(TookViolation("pool", "queued DPC"));
  kernel().RunPending();  // the emulator kept the block, so the DPC still runs safely
}

TEST_F(VerifierTest, CatchesAnIrqlCheckTheDriverStates) {
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  CHECK_IRQL_PASSIVE();
  KfLowerIrql(old);
  EXPECT_TRUE(TookViolation("irql", "requires PASSIVE_LEVEL"));
}

using VerifierDeathTest = VerifierTest;

TEST_F(VerifierDeathTest, RecursiveSpinLockAcquisitionIsFatal) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KfAcquireSpinLock(&lock);
        KfAcquireSpinLock(&lock);
      },
      "recursive acquisition");
}

}  // namespace
