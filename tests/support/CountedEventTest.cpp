#include "EmuTest.h"

#include "support/CountedEvent.h"
#include "support/Wait.h"

namespace {

class CountedEventTest : public EmuTest {};

TEST_F(CountedEventTest, SignalledExactlyWhileTheCountIsZero) {
  CountedEvent counted;
  EXPECT_EQ(KeReadStateEvent(&counted.event), 1) << "a new counted event is signalled";
  EXPECT_EQ(counted.Increment(), 1);
  EXPECT_EQ(counted.Increment(), 2);
  EXPECT_EQ(KeReadStateEvent(&counted.event), 0);
  EXPECT_EQ(counted.Decrement(), 1);
  EXPECT_EQ(KeReadStateEvent(&counted.event), 0) << "one still outstanding";
  EXPECT_EQ(counted.Decrement(), 0);
  EXPECT_EQ(KeReadStateEvent(&counted.event), 1);
}

TEST_F(CountedEventTest, WaiterWakesWhenTheLastOneIsCountedDown) {
  CountedEvent counted;
  counted.Increment();
  EXPECT_EQ(WaitMilliseconds(&counted.event, 0, Executive, KernelMode, FALSE), STATUS_TIMEOUT);
  static CountedEvent* shared;
  shared = &counted;
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { shared->Decrement(); }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  EXPECT_EQ(WaitMilliseconds(&counted.event, 500, Executive, KernelMode, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(kernel().NowMs(), 0u) << "woken by the DPC, not by the time-out";
}

TEST_F(CountedEventTest, WaitMillisecondsTimesOutAtTheVirtualTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(WaitMilliseconds(&event, 0, Executive, KernelMode, FALSE), STATUS_TIMEOUT);
  EXPECT_EQ(WaitMilliseconds(&event, 2000, Executive, KernelMode, FALSE), STATUS_TIMEOUT);
  EXPECT_EQ(kernel().NowMs(), 2000u);
  // The milliseconds are unsigned: the largest value is a long wait, not a negative one.
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(WaitMilliseconds(&event, 0xFFFFFFFF, Executive, KernelMode, FALSE), STATUS_SUCCESS);
}

TEST(BooleansDifferTest, TrueWhenExactlyOneIsSet) {
  EXPECT_EQ(BooleansDiffer(0, 0), 0);
  EXPECT_EQ(BooleansDiffer(0x80, 1), 0) << "any non-zero byte is true";
  EXPECT_EQ(BooleansDiffer(0x80, 0), 1);
  EXPECT_EQ(BooleansDiffer(0, 2), 1);
}

}  // namespace
