// A minimal lower driver for the kernel's own tests: it holds every IRP it is given, with a
// cancel routine, until the test completes it.
#pragma once

#include <platform.h>

#include <deque>

class FakeLowerDevice {
 public:
  FakeLowerDevice();
  PDEVICE_OBJECT device() { return &device_; }
  size_t HeldCount() const { return held_.size(); }
  // Completes the oldest held IRP with the status.
  void CompleteOldest(NTSTATUS status);
  int cancelRoutineRuns = 0;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI Cancel(PDEVICE_OBJECT device, PIRP irp);

  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
  std::deque<PIRP> held_;
};
