#include "support/SpinLock.h"

SpinLock::SpinLock(const char* className) : lock(0), savedIrql(PASSIVE_LEVEL) {
  KeInitializeSpinLock(&lock);
  NAME_LOCK_CLASS(&lock, className);
}

void SpinLock::Acquire() { savedIrql = KfAcquireSpinLock(&lock); }

void SpinLock::Release() { KfReleaseSpinLock(&lock, savedIrql); }
