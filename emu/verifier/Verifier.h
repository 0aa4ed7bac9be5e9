// The verifier: every rule the emulator enforces reports here. A violation carries the rule,
// a message in the platform's terms and the driver call site that committed it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace emu {

struct Violation {
  std::string rule;     // "irql", "spinlock", "lock-order", "pool", "leak", "irp", ...
  std::string message;  // what was wrong, in the platform's words
  std::string site;     // where the driver did it
  std::string ToString() const;
};

class Verifier {
 public:
  // Records a violation; the run continues where the platform can carry on.
  void Report(const std::string& rule, const std::string& message);
  // For faults after which nothing can go on (a deadlock, a spin lock taken recursively).
  [[noreturn]] void Fatal(const std::string& rule, const std::string& message);

  std::vector<Violation> Take();
  std::vector<Violation> Snapshot() const;
  size_t Count() const;

 private:
  mutable std::mutex mutex_;  // guards violations_
  std::vector<Violation> violations_;
};

// The innermost stack frames outside the emulator, symbolized ("Routine at file:line").
std::string DriverCallSite();
std::string Symbolize(const void* address);

}  // namespace emu
