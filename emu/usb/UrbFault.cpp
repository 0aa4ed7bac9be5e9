#include "emu/usb/UrbFault.h"

#include <cstring>

namespace emu::usb {

const char* UrbFaultName(UrbFaultKind kind) {
  switch (kind) {
    case UrbFaultKind::Stall: return "stall";
    case UrbFaultKind::TransactionError: return "error";
    case UrbFaultKind::NeverAnswer: return "nak";
    case UrbFaultKind::DeviceGone: return "gone";
    case UrbFaultKind::StallRequest: return "stall-request";
    case UrbFaultKind::ShortAnswer: return "short";
  }
  return "?";
}

std::optional<UrbFaultKind> UrbFaultByName(const char* name) {
  for (UrbFaultKind kind : kUrbFaultKinds)
    if (std::strcmp(UrbFaultName(kind), name) == 0) return kind;
  return std::nullopt;
}

USBD_STATUS TransactionErrorFor(uint64_t number) {
  static const USBD_STATUS kErrors[] = {USBD_STATUS_CRC, USBD_STATUS_BABBLE_DETECTED,
                                        USBD_STATUS_DEV_NOT_RESPONDING};
  return kErrors[number % 3];
}

}  // namespace emu::usb
