// Chooses, at every scheduling point of an exploring run, what runs next. A seed fixes every
// choice, so a schedule that fails replays exactly from its seed.
//
// Even seeds use probabilistic concurrency testing (PCT): every thread, DPC run and work item
// gets a random priority, the highest-priority candidate always runs, and at d-1 random steps
// the running one drops below all others. Among n steps with k threads it finds a fault that
// needs d ordering constraints with probability at least 1/(n * k^(d-1)) per schedule. Odd
// seeds walk at random: each step picks uniformly among the candidates.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace emu {

struct Exploration {
  uint64_t seed = 0;
  // Steps a schedule is expected to take; PCT places its change points among them.
  uint64_t stepsEstimate = 2000;
};

// Something that could happen now: a thread that is ready, a DPC or work item to start, or
// the timers already due to expire.
struct Candidate {
  uint64_t key;  // stable for a thread's life; for a DPC, work item or expiry, numbers it
  char kind;     // 'T' thread, 'D' DPC, 'W' work item, 'C' clock: due timers expire
};

class ScheduleExplorer {
 public:
  explicit ScheduleExplorer(const Exploration& exploration);

  // The index of the candidate to run; 'running' is the key of the one that reached the
  // scheduling point (0 when it blocked).
  size_t Pick(const std::vector<Candidate>& candidates, uint64_t running);

  uint64_t steps() const { return steps_; }
  // Every choice made, in order: equal traces are equal schedules.
  const std::vector<uint64_t>& trace() const { return trace_; }
  // "seed 12 (PCT, depth 3)": what a failure report prints to replay it.
  std::string Describe() const;

 private:
  uint64_t PriorityOf(uint64_t key);

  const Exploration exploration_;
  std::mt19937_64 random_;
  bool pct_;
  int depth_;
  std::vector<uint64_t> changePoints_;  // steps at which the running one drops
  std::map<uint64_t, uint64_t> priorities_;
  uint64_t steps_ = 0;
  std::vector<uint64_t> trace_;
};

// What a fatal verifier violation or a sanitizer's report prints first, so that the schedule
// that crashed can be replayed; empty when no exploring run is active.
void SetScheduleNote(const std::string& note);
const char* ScheduleNote();

}  // namespace emu
