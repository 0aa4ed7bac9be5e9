// The shared spin lock record: the holder's previous IRQL lives in the record, so a lock taken
// in one routine can be released in another that only has the record (the adapter lock taken
// by the device for a receive hand-off is the case in point).
#pragma once

#include <platform.h>

#include "support/Annotations.h"

class SpinLock {
 public:
  // className names the lock class for the verifier's order checks ("Owner::member").
  explicit SpinLock(const char* className);
  SpinLock(const SpinLock&) = delete;
  SpinLock& operator=(const SpinLock&) = delete;

  IRQL_AT_MOST_DISPATCH void Acquire();
  IRQL_DISPATCH void Release();

  KSPIN_LOCK lock;
  KIRQL savedIrql;
};

// Holds a SpinLock for a scope; can drop and retake it around a call-out.
class [[nodiscard]] SpinLockGuard {
 public:
  explicit SpinLockGuard(SpinLock& lock) : lock_(&lock) { lock_->Acquire(); }
  ~SpinLockGuard() {
    if (held_) lock_->Release();
  }
  SpinLockGuard(const SpinLockGuard&) = delete;
  SpinLockGuard& operator=(const SpinLockGuard&) = delete;

  void Unlock() {
    held_ = false;
    lock_->Release();
  }
  void Relock() {
    lock_->Acquire();
    held_ = true;
  }

 private:
  SpinLock* lock_;
  bool held_ = true;
};

// For a routine entered with the lock held by its caller: drops it for a call-out and takes
// it again when the scope ends.
class [[nodiscard]] SpinLockReleaser {
 public:
  explicit SpinLockReleaser(SpinLock& lock) : lock_(&lock) { lock_->Release(); }
  ~SpinLockReleaser() { lock_->Acquire(); }
  SpinLockReleaser(const SpinLockReleaser&) = delete;
  SpinLockReleaser& operator=(const SpinLockReleaser&) = delete;

 private:
  SpinLock* lock_;
};
