#include "ScheduleCampaign.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "emu/kernel/Kernel.h"

namespace {

uint64_t currentSeed = 0;

std::optional<uint64_t> FromEnvironment(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return std::nullopt;
  return std::strtoull(text, nullptr, 10);
}

}  // namespace

uint64_t CurrentScheduleSeed() { return currentSeed; }

ScheduleOutcome RunSchedule(const emu::Exploration& exploration, const ScheduleBody& body) {
  ScheduleOutcome outcome;
  outcome.seed = exploration.seed;
  currentSeed = exploration.seed;
  emu::Kernel kernel(exploration);
  outcome.schedule = kernel.ScheduleDescription();
  outcome.failure = body();
  kernel.RunPending();
  kernel.CheckClean("at the end of the schedule");
  kernel.Shutdown();
  for (const emu::Violation& v : kernel.verifier().Take()) outcome.failure += v.ToString() + "\n";
  outcome.trace = kernel.scheduler().explorer()->trace();
  return outcome;
}

CampaignResult RunCampaign(int bounded, uint64_t stepsEstimate, const ScheduleBody& body) {
  std::vector<uint64_t> seeds;
  if (std::optional<uint64_t> seed = FromEnvironment("ECM_EXPLORE_SEED")) {
    seeds.push_back(*seed);
  } else {
    uint64_t count = FromEnvironment("ECM_EXPLORE_SCHEDULES").value_or(static_cast<uint64_t>(bounded));
    for (uint64_t seed = 1; seed <= count; ++seed) seeds.push_back(seed);
  }
  CampaignResult result;
  for (uint64_t seed : seeds) {
    emu::Exploration exploration;
    exploration.seed = seed;
    exploration.stepsEstimate = stepsEstimate;
    ScheduleOutcome outcome = RunSchedule(exploration, body);
    ++result.schedules;
    if (!outcome.failure.empty()) {
      result.failure = std::move(outcome);
      break;
    }
  }
  return result;
}

std::string Describe(const CampaignResult& result) {
  if (!result.failure) return "no schedule of " + std::to_string(result.schedules) + " failed";
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "the test";
  return "schedule " + result.failure->schedule + " failed after " + std::to_string(result.schedules) +
         " schedule(s):\n" + result.failure->failure + "replay it: ECM_EXPLORE_SEED=" +
         std::to_string(result.failure->seed) + " test_explore --gtest_filter=" + name;
}
