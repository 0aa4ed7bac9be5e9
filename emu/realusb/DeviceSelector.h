// Which real USB device a run takes: "VID:PID" (the first such device), "VID:PID@N" (the Nth,
// counted from 1 in bus order) or a bus path as sysfs names it ("1-1", "3-2.4").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace emu::realusb {

struct DeviceSelector {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  unsigned ordinal = 1;
  std::string busPath;  // set: the device at this path, whatever its IDs
};

// Null, with the reason in *error, for text that is neither form.
std::optional<DeviceSelector> ParseDeviceSelector(const std::string& text, std::string* error);

}  // namespace emu::realusb
