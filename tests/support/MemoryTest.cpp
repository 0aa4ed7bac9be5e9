#include "EmuTest.h"

#include "support/Memory.h"
#include "support/PoolTags.h"

namespace {

class MemoryTest : public EmuTest {};

constexpr ULONG kTag = MakePoolTag('T', 'e', 's', 't');

TEST_F(MemoryTest, ZeroingIsOnRequestOnly) {
  auto* zeroed = static_cast<PUCHAR>(AllocateMemory(64, kTag, TRUE));
  auto* raw = static_cast<PUCHAR>(AllocateMemory(64, kTag, FALSE));
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(raw, nullptr);
  int zeroBytes = 0, rawZeroBytes = 0;
  for (int i = 0; i < 64; ++i) zeroBytes += zeroed[i] == 0, rawZeroBytes += raw[i] == 0;
  EXPECT_EQ(zeroBytes, 64);
  EXPECT_LT(rawZeroBytes, 64) << "the emulator hands out uninitialised memory as non-zero";
  FreeMemory(zeroed);
  FreeMemory(raw);
  FreeMemory(nullptr);
}

TEST_F(MemoryTest, AllocationFailureYieldsNull) {
  kernel().faults().FailTag(kTag, true);
  EXPECT_EQ(AllocateMemory(8, kTag, TRUE), nullptr);
  EXPECT_EQ(AllocatePool(NonPagedPool, 8, kTag, TRUE), nullptr);
  kernel().faults().FailTag(kTag, false);
  PVOID block = AllocatePool(NonPagedPool, 8, kTag, TRUE);
  ASSERT_NE(block, nullptr);
  FreePool(block);
}

struct Recorder : PoolObject {
  explicit Recorder(int* destroyed) : destroyed(destroyed) { constructed++; }
  ~Recorder() { (*destroyed)++; }
  virtual void Destroy(ULONG flags) { DestroyObject(this, flags); }
  int* destroyed;
  ULONG zeroed;
  static int constructed;
};
int Recorder::constructed = 0;

TEST_F(MemoryTest, ObjectCreationIsZeroFilledAndFailureRunsNoConstructor) {
  int destroyed = 0;
  Recorder::constructed = 0;
  kernel().faults().FailNth(emu::FaultPoint::Pool, 1);
  EXPECT_EQ(new (NonPagedPool, kTag) Recorder(&destroyed), nullptr);
  EXPECT_EQ(Recorder::constructed, 0);
  Recorder* r = new (NonPagedPool, kTag) Recorder(&destroyed);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->zeroed, 0u);
  r->Destroy(kDestroyFreeMemory);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(kernel().pool().Outstanding(), 0u);
}

TEST_F(MemoryTest, DeletingDestructorWithoutTheFreeBitKeepsTheMemory) {
  int destroyed = 0;
  Recorder* r = new (NonPagedPool, kTag) Recorder(&destroyed);
  r->Destroy(0);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(kernel().pool().Outstanding(), 1u);
  FreeMemory(r);
}

}  // namespace
