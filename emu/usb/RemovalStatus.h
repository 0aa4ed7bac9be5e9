// How the bus ends the requests it holds when the device is pulled. Host controller drivers
// differ: some say the device is gone, some cancel what they held, some report the transfer
// error the vanished device left on the wire. A driver has to take each of them.
#pragma once

#include <platform.h>

#include <cstring>

namespace emu::usb {

constexpr USBD_STATUS kTransactionError = static_cast<USBD_STATUS>(0xC0000011);  // USBD_STATUS_XACT_ERROR

struct RemovalStatus {
  const char* name;
  USBD_STATUS usbdStatus;
  NTSTATUS irpStatus;
};

inline constexpr RemovalStatus kDeviceGone{"device-gone", USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED};

inline constexpr RemovalStatus kRemovalStatuses[] = {
    kDeviceGone,
    {"no-such-device", USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE},
    {"cancelled", USBD_STATUS_CANCELED, STATUS_CANCELLED},
    {"transaction-error", kTransactionError, STATUS_UNSUCCESSFUL},
    {"not-responding", USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL},
};

// By name; null for a name not in the list.
inline const RemovalStatus* FindRemovalStatus(const char* name) {
  for (const RemovalStatus& status : kRemovalStatuses)
    if (std::strcmp(status.name, name) == 0) return &status;
  return nullptr;
}

}  // namespace emu::usb
