// A device's profile read from the device itself over its default control pipe: the device
// descriptor, every configuration whole, the language list and every string a descriptor
// names (in the first language). Works on any USB function, real or simulated.
#pragma once

#include <string>

#include "emu/devices/DeviceProfile.h"
#include "emu/usb/UsbFunction.h"

namespace emu::devices {

// False, with the reason, when the device will not give its device or configuration descriptors.
bool ReadProfile(usb::UsbFunction& device, DeviceProfile* profile, std::string* error);

// The profile in the text form ParseProfile reads back.
std::string FormatProfile(const DeviceProfile& profile, const std::string& heading);

}  // namespace emu::devices
