// Instance numbers and ids of the adapters the driver lists.
#include "NdisTest.h"
#include "driver/MiniportDriver.h"

namespace {

class InstanceNumberTest : public NdisTest {
 protected:
  void SetUp() override { LoadDriver(); }

  Adapter* Start() {
    Adapter* adapter = StartAdapter(library().AddMiniport());
    EXPECT_NE(adapter, nullptr);
    return adapter;
  }
  static void Halt(Adapter* adapter) {
    emu::ndis::Library::Current().FindMiniport(adapter->MiniportAdapterHandle, "test")->Halt();
  }
};

TEST_F(InstanceNumberTest, NumbersAndIdsFollowRegistration) {
  Adapter* first = Start();
  Adapter* second = Start();
  EXPECT_EQ(first->InstanceNumber, 0u);
  EXPECT_EQ(first->InstanceId, 0x01000000u);
  EXPECT_EQ(second->InstanceNumber, 1u);
  EXPECT_EQ(second->InstanceId, 0x01000001u);
  EXPECT_EQ(TheMiniportDriver->Adapters.Next(nullptr), first);
  EXPECT_EQ(TheMiniportDriver->Adapters.Next(first), second);
  Halt(first);
  Halt(second);
}

TEST_F(InstanceNumberTest, AHaltedAdaptersNumberIsGivenOutAgainButNotItsId) {
  Adapter* zero = Start();
  Adapter* one = Start();
  Halt(zero);
  Adapter* next = Start();
  EXPECT_EQ(next->InstanceNumber, 0u);
  EXPECT_EQ(next->InstanceId, 0x01000002u);
  // Listed oldest first: the new adapter comes after the one that stayed.
  EXPECT_EQ(TheMiniportDriver->Adapters.Next(nullptr), one);
  EXPECT_EQ(TheMiniportDriver->Adapters.Next(one), next);
  Halt(one);
  Halt(next);
}

TEST_F(InstanceNumberTest, TheLowestFreeNumberFillsAGap) {
  Adapter* adapters[4];
  for (Adapter*& adapter : adapters) adapter = Start();
  Halt(adapters[2]);
  Adapter* filler = Start();
  EXPECT_EQ(filler->InstanceNumber, 2u);
  EXPECT_EQ(filler->InstanceId, 0x01000004u);
  Adapter* after = Start();
  EXPECT_EQ(after->InstanceNumber, 4u);
  for (Adapter* adapter : {adapters[0], adapters[1], adapters[3], filler, after}) Halt(adapter);
  EXPECT_TRUE(TheMiniportDriver->Adapters.IsEmpty());
}

TEST_F(InstanceNumberTest, AFailedInitializationUsesUpNoNumberAndNoId) {
  emu::ndis::Miniport& failing = library().AddMiniport();
  failing.deviceStack().lower = nullptr;
  EXPECT_NE(failing.Initialize(), NDIS_STATUS_SUCCESS);
  Adapter* adapter = Start();
  EXPECT_EQ(adapter->InstanceNumber, 0u);
  EXPECT_EQ(adapter->InstanceId, 0x01000000u);
  Halt(adapter);
}

TEST_F(InstanceNumberTest, FindAdapterFindsByNumberUnderTheLock) {
  Adapter* zero = Start();
  Adapter* one = Start();
  {
    SpinLockGuard guard(TheMiniportDriver->Lock);
    EXPECT_EQ(TheMiniportDriver->FindAdapter(1), one);
    EXPECT_EQ(TheMiniportDriver->FindAdapter(0), zero);
    EXPECT_EQ(TheMiniportDriver->FindAdapter(2), nullptr);
  }
  Halt(zero);
  Halt(one);
}

}  // namespace
