// A byte or aligned word that is written under a lock (or by a single context) and read
// without one. Every access moves the whole value at once, as the processor does for such a
// value anyway, so an unlocked reader sees the old value or the new one, never a mix, and
// a reader that sees the new value also sees what the writer stored before it.
#pragma once

template <class T>
class UnlockedRead {
 public:
  UnlockedRead(T value) : value_(value) {}
  UnlockedRead(const UnlockedRead&) = delete;
  UnlockedRead& operator=(const UnlockedRead&) = delete;

  operator T() const { return __atomic_load_n(&value_, __ATOMIC_ACQUIRE); }
  UnlockedRead& operator=(T value) {
    __atomic_store_n(&value_, value, __ATOMIC_RELEASE);
    return *this;
  }

 private:
  T value_;
};
