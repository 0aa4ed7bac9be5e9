#include "emu/verifier/Verifier.h"

#include <cstdio>
#include <cstdlib>

#include "emu/kernel/ScheduleExplorer.h"

namespace emu {

std::string Violation::ToString() const {
  std::string text = "[" + rule + "] " + message;
  if (!site.empty()) text += "\n    at " + site;
  return text;
}

void Verifier::Report(const std::string& rule, const std::string& message) {
  Violation v{rule, message, DriverCallSite()};
  std::lock_guard<std::mutex> guard(mutex_);
  violations_.push_back(std::move(v));
}

void Verifier::Fatal(const std::string& rule, const std::string& message) {
  Report(rule, message);
  std::fprintf(stderr, "emulator: fatal verifier violation; the run cannot continue\n");
  if (*ScheduleNote()) std::fprintf(stderr, "emulator: the failing schedule: %s\n", ScheduleNote());
  for (const Violation& v : Snapshot()) std::fprintf(stderr, "%s\n", v.ToString().c_str());
  std::fflush(stderr);
  std::abort();
}

std::vector<Violation> Verifier::Take() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<Violation> taken;
  taken.swap(violations_);
  return taken;
}

std::vector<Violation> Verifier::Snapshot() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return violations_;
}

size_t Verifier::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return violations_.size();
}

}  // namespace emu
