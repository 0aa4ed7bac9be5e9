// The deterministic scheduler's emulated threads are fibers: each must come back from a switch
// with its own registers, stack and floating-point modes, as a thread would.
#include <gtest/gtest.h>

#include <cfenv>
#include <cstdint>
#include <string>

#include "emu/kernel/Fiber.h"

namespace {

struct Relay {
  emu::Fiber main;
  emu::Fiber* fibers[2] = {};
  std::string trace;
};

// Counts through a switch to the other fiber and back, keeping what it computed in locals.
void Count(Relay& relay, int self, char name) {
  int other = 1 - self;
  uint64_t sum = 0;
  for (int round = 0; round < 3; ++round) {
    alignas(16) volatile unsigned char onStack[16] = {};
    EXPECT_EQ(reinterpret_cast<uintptr_t>(onStack) % 16, 0u) << "a fiber's stack is aligned as for a call";
    sum += round + 1;
    relay.trace += name + std::to_string(sum);
    relay.fibers[self]->SwitchTo(*relay.fibers[other]);
  }
}

TEST(FiberTest, SwitchesKeepEachFibersLocalsAndOrder) {
  Relay relay;
  emu::Fiber a([&] {
    Count(relay, 0, 'a');
    relay.fibers[0]->SwitchAway(relay.main);
  });
  emu::Fiber b([&] {
    Count(relay, 1, 'b');
    relay.fibers[1]->SwitchAway(relay.main);
  });
  relay.fibers[0] = &a;
  relay.fibers[1] = &b;
  relay.main.SwitchTo(a);
  EXPECT_EQ(relay.trace, "a1b1a3b3a6b6");
}

TEST(FiberTest, RoundingModeStaysWithItsFiber) {
  emu::Fiber main;
  int seenAfterSwitch = -1;
  emu::Fiber upward([&] {
    std::fesetround(FE_UPWARD);
    upward.SwitchTo(main);
    seenAfterSwitch = std::fegetround();
    std::fesetround(FE_TONEAREST);
    upward.SwitchAway(main);
  });
  main.SwitchTo(upward);
  EXPECT_EQ(std::fegetround(), FE_TONEAREST) << "the fiber's mode leaked into the thread it left";
  main.SwitchTo(upward);
  EXPECT_EQ(seenAfterSwitch, FE_UPWARD) << "the fiber lost its mode across a switch";
}

}  // namespace
