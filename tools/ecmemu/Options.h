// What the user asked for on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/ecmemu/Params.h"

namespace ecmemu {

struct RunOptions {
  std::string profilePath;  // empty: the built-in device
  Params params;            // registry keywords, as REG_SZ text
  uint32_t frames = 4000;   // frames each way
  bool threaded = false;
  std::optional<uint64_t> seed;  // explore the schedule this seed picks
  bool surpriseRemoval = false;
  bool json = false;
  std::string usbPcapPath;
  std::string ethPcapPath;
};

}  // namespace ecmemu
