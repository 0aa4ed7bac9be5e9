// Stops the test thread once, at the first point the predicate picks among those where it
// returns to PASSIVE_LEVEL from a spin lock, and runs something there, as another processor or
// thread could run it at that moment.
#pragma once

#include <functional>

#include "emu/kernel/Kernel.h"

class PreemptOnce {
 public:
  PreemptOnce(emu::Kernel& kernel, std::function<bool(PKSPIN_LOCK released)> when, std::function<void()> run)
      : kernel_(kernel), testThread_(&emu::CurrentContext()) {
    kernel_.SetPreemptionHook([this, when = std::move(when), run = std::move(run)](PKSPIN_LOCK released) {
      if (fired || &emu::CurrentContext() != testThread_ || !when(released)) return;
      fired = true;
      run();
    });
  }
  ~PreemptOnce() { kernel_.SetPreemptionHook(nullptr); }
  PreemptOnce(const PreemptOnce&) = delete;
  PreemptOnce& operator=(const PreemptOnce&) = delete;

  bool fired = false;

 private:
  emu::Kernel& kernel_;
  emu::Context* testThread_;
};

// What a preempted thread does meanwhile: nothing, for 'ms' of virtual time, while everything
// else runs.
inline void LetOthersRunMs(LONGLONG ms) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -ms * 10000;
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
}
