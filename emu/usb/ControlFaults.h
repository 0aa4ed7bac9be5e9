// Faults a test injects into requests that travel over the default control pipe: the device
// fails them, stalls them, answers late (virtual time), or never answers (the IRP stays
// pending until it is cancelled).
#pragma once

#include <platform.h>

#include <optional>
#include <vector>

namespace emu::usb {

enum class FaultKind { Fail, Stall, Delay, NeverAnswer };

constexpr USHORT kAnyFunction = 0xFFFF;

struct ControlFault {
  FaultKind kind = FaultKind::Fail;
  USHORT function = kAnyFunction;  // URB function it hits
  int detail = -1;                 // descriptor type, or bRequest of a class/vendor request; -1: any
  int skip = 0;                    // matching requests let through before it hits
  int times = -1;                  // how many requests it hits; -1: all
  ULONG delayMs = 0;               // Delay: the answer comes this much later
  NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;

  static ControlFault Fail(USHORT function, NTSTATUS irpStatus, USBD_STATUS usbdStatus);
  static ControlFault Stall(USHORT function);
  static ControlFault Delay(USHORT function, ULONG milliseconds);
  static ControlFault NeverAnswer(USHORT function);
  ControlFault& Detail(int value);
  ControlFault& Skip(int count);
  ControlFault& Times(int count);
};

class ControlFaults {
 public:
  void Add(const ControlFault& fault);
  void Clear();
  // The fault that hits this request, counted; none when the request goes through.
  std::optional<ControlFault> Take(USHORT function, int detail);

 private:
  std::vector<ControlFault> faults_;  // guarded by the bus lock
};

}  // namespace emu::usb
