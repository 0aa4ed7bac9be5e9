// The data path as the benchmarks drive it, at each size they measure: every frame arrives,
// the driver allocates nothing per frame (no pool memory, IRP, MDL or work item), and the run
// ends with the verifier silent and nothing leaked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>

#include "bench/DataPath.h"

void PrintTo(Direction direction, std::ostream* out) { *out << DirectionName(direction); }

namespace {

constexpr int kFrames = 2000;

class DataPathTest : public ::testing::TestWithParam<std::tuple<Direction, uint32_t>> {};

TEST_P(DataPathTest, EveryFrameArrivesWithoutAnAllocationAndTheRunEndsClean) {
  auto [direction, size] = GetParam();
  DataPath path(direction, size);
  ASSERT_EQ(path.failure(), "");
  uint64_t allocations = path.kernel().pool().AllocationCount();
  for (int i = 0; i < kFrames; ++i) ASSERT_TRUE(path.MoveFrame()) << "frame " << i;
  EXPECT_EQ(path.kernel().pool().AllocationCount(), allocations) << "the data path allocated";
  EXPECT_THAT(path.Close(), ::testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Frames, DataPathTest,
                         ::testing::Combine(::testing::Values(Direction::Transmit, Direction::Receive,
                                                              Direction::RoundTrip),
                                            ::testing::Values(60u, 512u, 1514u)),
                         [](const ::testing::TestParamInfo<std::tuple<Direction, uint32_t>>& info) {
                           return std::string(DirectionName(std::get<0>(info.param))) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
