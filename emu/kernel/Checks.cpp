// The driver's own checks (platform/host/driver_checks.h), enforced by the verifier.
#include <cstdio>

#include "emu/kernel/Kernel.h"

using emu::Kernel;

namespace {

const char* LevelName(KIRQL level) {
  switch (level) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "a device IRQL";
  }
}

}  // namespace

void EmuCheckIrql(KIRQL level, bool exact, const char* routine) {
  KIRQL current = emu::CurrentContext().irql;
  if (exact ? current == level : current <= level) return;
  Kernel::Current().verifier().Report(
      "irql", std::string(routine) + " runs at " + LevelName(current) + " but requires " +
                  (exact ? "" : "at most ") + LevelName(level));
}

void EmuVerify(bool condition, const char* expression, const char* file, int line) {
  if (condition) return;
  char text[512];
  std::snprintf(text, sizeof text, "driver check failed: %s (%s:%d)", expression, file, line);
  Kernel::Current().verifier().Report("state", text);
}

void EmuNameLockClass(const void* lock, const char* className) {
  Kernel::Current().locks().NameClass(lock, className);
}
