// The allocation sweep: for each phase of the adapter's life (MiniportInitialize, a reset, the
// return to D0, MiniportHalt) and each of the emulator's fault points, the i-th call of the
// phase at that point fails, for every i the phase reaches. Each case is a whole session of
// its own, and must end in a clean failure with its status and error log, or a recovery,
// with nothing leaked and the verifier silent.
#include <gtest/gtest.h>

#include <cctype>

#include "emu/devices/DeviceProfile.h"
#include "tools/ecmemu/AllocationCell.h"

namespace {

using ecmemu::AllocationFault;
using ecmemu::AllocationResult;
using ecmemu::Phase;

class AllocationSweep : public ::testing::TestWithParam<Phase> {};

TEST_P(AllocationSweep, EveryFailedCallEndsCleanly) {
  Phase phase = GetParam();
  emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile();
  AllocationResult counted = ecmemu::RunAllocationCase(profile, std::nullopt, phase);
  ASSERT_TRUE(counted.Ok()) << ::testing::PrintToString(counted.problems);
  uint64_t total = 0;
  for (emu::FaultPoint point : ecmemu::kFaultPoints) {
    uint64_t calls = counted.calls[point];
    total += calls;
    for (uint64_t nth = 1; nth <= calls; ++nth) {
      AllocationResult result =
          ecmemu::RunAllocationCase(profile, AllocationFault{phase, point, static_cast<int>(nth)}, phase);
      std::string problems;
      for (const std::string& problem : result.problems) problems += "\n  " + problem;
      EXPECT_TRUE(result.Ok()) << ecmemu::FaultPointName(point) << " call " << nth << " of " << calls << " failed in the "
                               << ecmemu::PhaseName(phase) << " (" << result.end << "):" << problems;
    }
  }
  RecordProperty("cases", static_cast<int>(total));
  EXPECT_GT(total, 0u) << "the phase reaches no fault point: the sweep would prove nothing";
}

std::string PhaseTestName(const ::testing::TestParamInfo<Phase>& info) {
  std::string name;
  for (char c : std::string(ecmemu::PhaseName(info.param)))
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(Phases, AllocationSweep, ::testing::ValuesIn(ecmemu::kPhases), PhaseTestName);

}  // namespace
