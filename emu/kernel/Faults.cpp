#include "emu/kernel/Faults.h"

namespace emu {

void Faults::FailNth(FaultPoint point, int n) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (n > 0)
    countdown_[point] = n;
  else
    countdown_.erase(point);
}

void Faults::FailAll(FaultPoint point, bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (on)
    always_.insert(point);
  else
    always_.erase(point);
}

void Faults::FailTag(ULONG tag, bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (on)
    tags_.insert(tag);
  else
    tags_.erase(tag);
}

void Faults::ShortPages(bool on) {
  std::lock_guard<std::mutex> guard(mutex_);
  shortPages_ = on;
}

bool Faults::ShortPagesOn() {
  std::lock_guard<std::mutex> guard(mutex_);
  return shortPages_;
}

uint64_t Faults::Calls(FaultPoint point) {
  std::lock_guard<std::mutex> guard(mutex_);
  return calls_[point];
}

bool Faults::ShouldFail(FaultPoint point, ULONG tag) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++calls_[point];
  if (always_.count(point)) return true;
  if (point == FaultPoint::Pool && tags_.count(tag)) return true;
  auto it = countdown_.find(point);
  if (it != countdown_.end() && --it->second == 0) {
    countdown_.erase(it);
    return true;
  }
  return false;
}

}  // namespace emu
