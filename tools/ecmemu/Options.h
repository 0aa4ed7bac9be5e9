// What the user asked for on the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "emu/usb/BusSchedule.h"
#include "tools/ecmemu/Params.h"

namespace ecmemu {

struct RunOptions {
  std::string profilePath;  // empty: the built-in device
  std::string usbDevice;    // a real device instead (VID:PID[@N] or a bus path)
  Params params;            // registry keywords, as REG_SZ text
  uint32_t frames = 4000;   // frames each way
  uint32_t frameSize = 0;   // bytes of every frame; 0: lengths spread over the whole range
  bool threaded = false;
  std::optional<uint64_t> seed;  // explore the schedule this seed picks
  bool surpriseRemoval = false;
  // Go on through the steps after a check failed: under an injected fault some checks fail on
  // purpose, and what matters is how the driver goes on.
  bool pressOn = false;
  std::string removalStatus = "device-gone";  // how the bus ends what the removal finds pending
  bool json = false;
  std::string usbPcapPath;
  std::string ethPcapPath;
  std::optional<emu::usb::BusTiming> busTiming;  // none: the device answers at once
};

}  // namespace ecmemu
