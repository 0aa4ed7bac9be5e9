// A live progress line on standard error for a long run on a terminal: shown once the run
// has taken a second, redrawn at most five times a second, erased at the end.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace ecmemu {

class ProgressLine {
 public:
  explicit ProgressLine(bool enabled);
  ~ProgressLine() { Clear(); }
  // Draws the text 'describe' gives, asked only when the line is due to be drawn: a run calls
  // this for every batch of frames.
  void Show(const std::function<std::string()>& describe);
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
};

}  // namespace ecmemu
