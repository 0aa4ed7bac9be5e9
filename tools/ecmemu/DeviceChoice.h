// The device a command runs against: the built-in one, or the one a profile file describes.
#pragma once

#include <string>

#include "emu/devices/DeviceProfile.h"

namespace ecmemu {

// An empty path is the built-in device. False and the reason, naming the file (and the line
// when it is one), when the profile cannot be used.
bool ChooseDevice(const std::string& profilePath, emu::devices::DeviceProfile* profile, std::string* error);

}  // namespace ecmemu
