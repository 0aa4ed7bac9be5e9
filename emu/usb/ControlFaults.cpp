#include "emu/usb/ControlFaults.h"

namespace emu::usb {

namespace {

ControlFault Make(FaultKind kind, USHORT function) {
  ControlFault fault;
  fault.kind = kind;
  fault.function = function;
  return fault;
}

}  // namespace

ControlFault ControlFault::Fail(USHORT function, NTSTATUS irpStatus, USBD_STATUS usbdStatus) {
  ControlFault fault = Make(FaultKind::Fail, function);
  fault.irpStatus = irpStatus;
  fault.usbdStatus = usbdStatus;
  return fault;
}

ControlFault ControlFault::Stall(USHORT function) {
  ControlFault fault = Make(FaultKind::Stall, function);
  fault.usbdStatus = USBD_STATUS_STALL_PID;
  return fault;
}

ControlFault ControlFault::Delay(USHORT function, ULONG milliseconds) {
  ControlFault fault = Make(FaultKind::Delay, function);
  fault.delayMs = milliseconds;
  return fault;
}

ControlFault ControlFault::NeverAnswer(USHORT function) { return Make(FaultKind::NeverAnswer, function); }

ControlFault& ControlFault::Detail(int value) {
  detail = value;
  return *this;
}

ControlFault& ControlFault::Skip(int count) {
  skip = count;
  return *this;
}

ControlFault& ControlFault::Times(int count) {
  times = count;
  return *this;
}

void ControlFaults::Add(const ControlFault& fault) { faults_.push_back(fault); }

void ControlFaults::Clear() { faults_.clear(); }

std::optional<ControlFault> ControlFaults::Take(USHORT function, int detail) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->function != kAnyFunction && it->function != function) continue;
    if (it->detail >= 0 && it->detail != detail) continue;
    if (it->skip > 0) {
      --it->skip;
      return std::nullopt;
    }
    ControlFault hit = *it;
    if (it->times > 0 && --it->times == 0) faults_.erase(it);
    return hit;
  }
  return std::nullopt;
}

}  // namespace emu::usb
