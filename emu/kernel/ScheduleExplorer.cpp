#include "emu/kernel/ScheduleExplorer.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

// Present only when a sanitizer is linked in.
extern "C" void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));

namespace emu {
namespace {

constexpr int kMaxDepth = 3;
std::string note;  // of the active exploring run

void PrintNote() {
  if (!note.empty()) std::fprintf(stderr, "emulator: the failing schedule: %s\n", note.c_str());
}

}  // namespace

ScheduleExplorer::ScheduleExplorer(const Exploration& exploration)
    : exploration_(exploration), random_(exploration.seed), pct_(exploration.seed % 2 == 0),
      depth_(1 + static_cast<int>((exploration.seed / 2) % kMaxDepth)) {
  if (!pct_) return;
  uint64_t span = std::max<uint64_t>(exploration.stepsEstimate, 1);
  for (int i = 1; i < depth_; ++i) changePoints_.push_back(1 + random_() % span);
}

uint64_t ScheduleExplorer::PriorityOf(uint64_t key) {
  auto it = priorities_.find(key);
  if (it != priorities_.end()) return it->second;
  // Above every value a change point gives (1 .. depth-1).
  uint64_t priority = static_cast<uint64_t>(depth_) + random_() % (uint64_t{1} << 40);
  priorities_.emplace(key, priority);
  return priority;
}

size_t ScheduleExplorer::Pick(const std::vector<Candidate>& candidates, uint64_t running) {
  ++steps_;
  size_t chosen = 0;
  if (pct_) {
    for (size_t i = 0; i < changePoints_.size(); ++i)
      if (changePoints_[i] == steps_ && running) priorities_[running] = changePoints_.size() - i;
    for (size_t i = 1; i < candidates.size(); ++i)
      if (PriorityOf(candidates[i].key) > PriorityOf(candidates[chosen].key)) chosen = i;
  } else {
    chosen = random_() % candidates.size();
  }
  trace_.push_back(candidates[chosen].key);
  return chosen;
}

std::string ScheduleExplorer::Describe() const {
  std::string text = "seed " + std::to_string(exploration_.seed);
  if (pct_) return text + " (PCT, depth " + std::to_string(depth_) + ")";
  return text + " (random walk)";
}

void SetScheduleNote(const std::string& text) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(PrintNote);
  });
  note = text;
}

const char* ScheduleNote() { return note.c_str(); }

}  // namespace emu
