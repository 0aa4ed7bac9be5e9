#include "tools/ecmemu/ProgressLine.h"

#include <cstdio>

namespace ecmemu {
namespace {

constexpr auto kQuietStart = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(200);

}  // namespace

ProgressLine::ProgressLine(bool enabled) : enabled_(enabled), start_(Clock::now()) {}

void ProgressLine::Show(const std::function<std::string()>& describe) {
  if (!enabled_) return;
  Clock::time_point now = Clock::now();
  if (now - start_ < kQuietStart || (shown_ && now - lastDrawn_ < kRedraw)) return;
  lastDrawn_ = now;
  shown_ = true;
  std::fprintf(stderr, "\r\033[K%s", describe().c_str());
  std::fflush(stderr);
}

void ProgressLine::Clear() {
  if (!shown_) return;
  shown_ = false;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

}  // namespace ecmemu
