// The lock tracker lets each thread remember the lock classes and orders it has checked. What
// it remembers must never stand in for what the tracker knows now: a kernel that starts anew
// knows no order, and a lock named again belongs to its new class.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emu/kernel/Kernel.h"

namespace {

// Takes 'first', then 'second' under it, and lets both go.
void TakeInOrder(KSPIN_LOCK& first, KSPIN_LOCK& second) {
  KIRQL outer = KfAcquireSpinLock(&first);
  KIRQL inner = KfAcquireSpinLock(&second);
  KfReleaseSpinLock(&second, inner);
  KfReleaseSpinLock(&first, outer);
}

std::vector<std::string> LockOrderReports(emu::Kernel& kernel) {
  std::vector<std::string> reports;
  for (const emu::Violation& violation : kernel.verifier().Take())
    if (violation.rule == "lock-order") reports.push_back(violation.message);
  return reports;
}

TEST(LockClassCacheTest, AnOrderLearnedUnderAnEarlierKernelNeitherExcusesNorAccusesLater) {
  KSPIN_LOCK a = 0, b = 0;
  {
    emu::Kernel kernel;
    NAME_LOCK_CLASS(&a, "Cache::a");
    NAME_LOCK_CLASS(&b, "Cache::b");
    TakeInOrder(a, b);
    EXPECT_TRUE(LockOrderReports(kernel).empty());
  }
  emu::Kernel kernel;
  NAME_LOCK_CLASS(&a, "Cache::a");
  NAME_LOCK_CLASS(&b, "Cache::b");
  TakeInOrder(b, a);
  EXPECT_TRUE(LockOrderReports(kernel).empty()) << "this kernel has seen no other order";
  TakeInOrder(a, b);
  std::vector<std::string> reports = LockOrderReports(kernel);
  ASSERT_EQ(reports.size(), 1u) << "the thread had seen a before b, but under another kernel";
  EXPECT_NE(reports[0].find("Cache::b is taken while Cache::a is held"), std::string::npos) << reports[0];
}

TEST(LockClassCacheTest, ALockNamedAgainTakesItsNewClassAtOnce) {
  emu::Kernel kernel;
  KSPIN_LOCK held = 0, renamed = 0;
  NAME_LOCK_CLASS(&held, "Cache::held");
  NAME_LOCK_CLASS(&renamed, "Cache::old");
  TakeInOrder(held, renamed);  // the thread now knows the lock as Cache::old
  NAME_LOCK_CLASS(&renamed, "Cache::new");
  TakeInOrder(renamed, held);
  TakeInOrder(held, renamed);
  std::vector<std::string> reports = LockOrderReports(kernel);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Cache::new is taken while Cache::held is held"), std::string::npos) << reports[0];
}

}  // namespace
