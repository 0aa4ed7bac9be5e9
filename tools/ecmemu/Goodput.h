// What the driver reaches on a timed USB bus: one way at a time, frames of one size kept
// waiting for the driver (the protocol's send queue full, or the device's IN endpoint never
// empty), counted as they arrive on the far side over a window of the kernel's virtual time.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "emu/devices/DeviceProfile.h"
#include "emu/usb/BusSchedule.h"

namespace ecmemu {

enum class Way { ToDevice, FromDevice };

struct GoodputCell {
  Way way;
  uint32_t buffers;      // TxBuffers to the device, RxBuffers from it
  uint32_t frameLength;  // bytes of Ethernet frame, header included
};

struct GoodputResult {
  double bitsPerSecond = 0;  // of Ethernet frames that arrived, per second of virtual time
  double limit = 0;          // the most the bus carries of such frames one way
  std::vector<std::string> problems;  // what the verifier or the run found
};

// Bulk packet size and windows: the profile's data endpoints decide the packets.
GoodputResult MeasureGoodput(const emu::devices::DeviceProfile& profile, const emu::usb::BusTiming& timing,
                             const GoodputCell& cell, uint64_t windowMs);

struct GoodputOptions {
  std::string profilePath;
  emu::usb::BusTiming timing;
  uint64_t windowMs = 20;
  std::vector<uint32_t> buffers{2, 4, 8, 16, 32};
  std::vector<uint32_t> frameLengths{60, 512, 1514};
};

// Prints the table for every cell; false when a run found a problem (printed too).
bool PrintGoodputTable(const emu::devices::DeviceProfile& profile, const GoodputOptions& options, std::ostream& out);

}  // namespace ecmemu
