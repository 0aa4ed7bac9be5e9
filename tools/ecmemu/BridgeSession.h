// ecmemu bridge: the driver on the threaded emulator carrying real traffic between two TAP
// interfaces, one on the adapter's protocol side and one on the device's wire, until
// SIGINT or SIGTERM.
#pragma once

#include <string>

#include "emu/devices/DeviceProfile.h"
#include "tools/ecmemu/Params.h"

namespace ecmemu {

struct BridgeOptions {
  std::string profilePath;  // empty: the built-in device
  Params params;            // registry keywords, as REG_SZ text
  std::string tap;          // the adapter's side
  std::string wireTap;      // the device's wire
};

// What is wrong with the options (a usage error), or nothing.
std::string CheckBridgeOptions(const BridgeOptions& options);

// Prints a line starting "ecmemu: bridging" on standard error once both TAPs carry frames,
// and the report on standard output at the end. The exit status: 0 when the bridge ran and
// the verifier stayed silent and nothing leaked, 1 otherwise.
int RunBridge(const BridgeOptions& options, const emu::devices::DeviceProfile& profile);

}  // namespace ecmemu
