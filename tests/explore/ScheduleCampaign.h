// Runs one body under many explored schedules: each on a fresh exploring kernel, each ending
// with the verifier's verdict and the leak check. The first schedule that fails stops the
// campaign and is reported with its seed; ECM_EXPLORE_SEED=N runs that one schedule alone,
// ECM_EXPLORE_SCHEDULES=M runs M schedules instead of the bounded number.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "emu/kernel/ScheduleExplorer.h"

struct ScheduleOutcome {
  uint64_t seed = 0;
  std::string schedule;           // the explorer's description of it
  std::string failure;            // empty: every check held
  std::vector<uint64_t> trace;    // the explorer's choices
};

// The body drives the driver and returns what failed of its own checks ("" when none).
using ScheduleBody = std::function<std::string()>;

// The seed of the schedule running now, for a body that draws its own choices from it.
uint64_t CurrentScheduleSeed();

ScheduleOutcome RunSchedule(const emu::Exploration& exploration, const ScheduleBody& body);

struct CampaignResult {
  int schedules = 0;                      // run, including the failing one
  std::optional<ScheduleOutcome> failure;  // the first schedule that failed
};

// 'bounded' schedules (or what the environment asks for), seeds counting up from 1.
CampaignResult RunCampaign(int bounded, uint64_t stepsEstimate, const ScheduleBody& body);

// What a failed campaign prints: the failure and how to replay it.
std::string Describe(const CampaignResult& result);
