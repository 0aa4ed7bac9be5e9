// Scope guard over a bare KSPIN_LOCK member; the previous IRQL lives in the guard.
#pragma once

#include <platform.h>

inline void InitializeSpinLock(PKSPIN_LOCK lock, const char* className) {
  KeInitializeSpinLock(lock);
  NAME_LOCK_CLASS(lock, className);
}

// For a routine whose caller must hold the lock: a held lock is non-zero. Read whole, since
// other processors may be spinning on it meanwhile.
inline BOOLEAN SpinLockHeld(const KSPIN_LOCK& lock) { return __atomic_load_n(&lock, __ATOMIC_RELAXED) != 0; }

class [[nodiscard]] KSpinLockGuard {
 public:
  explicit KSpinLockGuard(KSPIN_LOCK& lock) : lock_(&lock), savedIrql_(KfAcquireSpinLock(&lock)) {}
  ~KSpinLockGuard() {
    if (held_) KfReleaseSpinLock(lock_, savedIrql_);
  }
  KSpinLockGuard(const KSpinLockGuard&) = delete;
  KSpinLockGuard& operator=(const KSpinLockGuard&) = delete;

  void Unlock() {
    held_ = false;
    KfReleaseSpinLock(lock_, savedIrql_);
  }
  void Relock() {
    savedIrql_ = KfAcquireSpinLock(lock_);
    held_ = true;
  }
  // For a routine that has to release and retake the lock itself (it keeps the IRQL).
  KIRQL& SavedIrql() { return savedIrql_; }

 private:
  PKSPIN_LOCK lock_;
  KIRQL savedIrql_;
  bool held_ = true;
};
