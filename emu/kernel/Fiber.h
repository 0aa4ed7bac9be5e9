// Stacks of their own on one OS thread, switched explicitly. The deterministic scheduler runs
// one emulated thread at a time anyway; a switch between fibers costs a few nanoseconds where
// a hand-over between OS threads costs two system calls and a context switch, and the fuzz
// targets and schedule exploration hand over dozens of times per run. The sanitizers are told
// of every switch, so their reports and stack checks stay right.
#pragma once

#include <cstddef>
#include <functional>

namespace emu {

class Fiber {
 public:
  // The calling OS thread's own stack, to be switched away from and back to.
  Fiber();
  // A fiber that runs 'entry' on a stack of its own from the first switch to it. The entry
  // must not return: it ends with SwitchAway.
  explicit Fiber(std::function<void()> entry);
  ~Fiber();  // not on the fiber itself, nor while it is suspended with live objects it owns
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;

  // Suspends this fiber, which runs now, and resumes 'to'; returns when something switches back.
  void SwitchTo(Fiber& to);
  // Ends this fiber, which runs now, for good and resumes 'to'.
  [[noreturn]] void SwitchAway(Fiber& to);

 private:
  static void Enter(Fiber* self);
  void Switch(Fiber& to, bool ending);

  void* sp_ = nullptr;  // saved stack pointer while suspended
  void* stack_ = nullptr;  // the mapping, guard page first; null for a thread's own stack
  const void* bottom_ = nullptr;  // the usable stack, for the sanitizers
  size_t size_ = 0;
  void* fakeStack_ = nullptr;  // AddressSanitizer's, while suspended
  void* tsanFiber_ = nullptr;
  std::function<void()> entry_;
};

}  // namespace emu
