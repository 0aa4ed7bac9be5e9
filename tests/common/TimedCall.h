// A DPC routine run once after a delay (virtual time in deterministic mode): tests use it to
// release something while the code under test waits.
#pragma once

#include <platform.h>

class TimedCall {
 public:
  TimedCall(PKDEFERRED_ROUTINE routine, PVOID context) {
    KeInitializeTimer(&timer_);
    KeInitializeDpc(&dpc_, routine, context);
  }
  void ArmMs(LONGLONG ms) {
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    KeSetTimer(&timer_, due, &dpc_);
  }

 private:
  KTIMER timer_;
  KDPC dpc_;
};
