// ecmemu bridge: the driver on the threaded emulator carrying real traffic between two TAP
// interfaces, one on the adapter's protocol side and one on the device's wire, until
// SIGINT or SIGTERM.
#pragma once

#include <string>

#include "emu/devices/DeviceProfile.h"
#include "emu/realusb/RealDevice.h"
#include "tools/ecmemu/Params.h"

namespace ecmemu {

struct BridgeOptions {
  std::string profilePath;  // empty: the built-in device
  std::string usbDevice;    // a real device instead (VID:PID[@N] or a bus path)
  Params params;            // registry keywords, as REG_SZ text
  std::string tap;          // the adapter's side
  std::string wireTap;      // the simulated device's wire
};

// What is wrong with the options (a usage error), or nothing.
std::string CheckBridgeOptions(const BridgeOptions& options);

// Prints a line starting "ecmemu: bridging" on standard error once both TAPs carry frames,
// and the report on standard output at the end. The exit status: 0 when the bridge ran and
// the verifier stayed silent and nothing leaked, 1 otherwise.
int RunBridge(const BridgeOptions& options, const emu::devices::DeviceProfile& profile);
// The same on a real device, whose far end is its own; it stops also when the device goes.
int RunRealBridge(const BridgeOptions& options, emu::realusb::RealDevice& device);

}  // namespace ecmemu
