// What the user asked for on the command line.
#pragma once

#include <cstdint>
#include <string>

#include "tools/ecmemu/Params.h"

namespace ecmemu {

struct RunOptions {
  std::string profilePath;  // empty: the built-in device
  Params params;            // registry keywords, as REG_SZ text
  uint32_t frames = 4000;   // frames each way
  bool threaded = false;
  bool surpriseRemoval = false;
  std::string removalStatus = "device-gone";  // how the bus ends what the removal finds pending
  bool json = false;
  std::string usbPcapPath;
  std::string ethPcapPath;
};

}  // namespace ecmemu
