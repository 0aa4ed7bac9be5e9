// A live progress line on standard error for a long run on a terminal: shown once the run
// has taken a second, redrawn at most five times a second, erased at the end.
#pragma once

#include <chrono>
#include <string>

namespace ecmemu {

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled);
  ~ProgressLine() { Clear(); }
  void Show(const std::string& text);
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
};

}  // namespace ecmemu
