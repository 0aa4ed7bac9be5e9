// Scope guard over a kernel mutex: waits without time-out on construction, releases on exit.
#pragma once

#include <platform.h>

inline void InitializeMutex(PKMUTEX mutex, const char* className) {
  KeInitializeMutex(mutex, 0);
  NAME_LOCK_CLASS(mutex, className);
}

class [[nodiscard]] MutexGuard {
 public:
  explicit MutexGuard(KMUTEX& mutex) : mutex_(&mutex) {
    KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
  }
  ~MutexGuard() { KeReleaseMutex(mutex_, FALSE); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  PKMUTEX mutex_;
};
