// What every ecmemu command does around its own part: the driver loaded and one adapter
// initialized on the emulated device with the user's keywords and, once the kernel's life
// is over, what its verifier found.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/Params.h"
#include "tools/ecmemu/Report.h"

namespace ecmemu {

struct AdapterStart {
  bool initialized = false;
  uint32_t initializeStatus = 0;
  std::vector<ErrorLogLine> errorLog;  // as the driver wrote it during the initialization
};

// Loads the driver into the library and initializes one adapter on the bus's device with the
// keywords (as REG_SZ text). Null, with the reason in *failure, when DriverEntry fails; the
// adapter, initialized or not, otherwise.
emu::ndis::Miniport* StartAdapter(emu::ndis::Library& library, emu::usb::Bus& bus, const Params& params,
                                  AdapterStart* start, std::string* failure);
// The two halves of StartAdapter: the reason DriverEntry failed (empty when it loaded), and
// the adapter on the loaded driver.
std::string LoadDriver(emu::ndis::Library& library);
emu::ndis::Miniport& InitializeAdapter(emu::ndis::Library& library, emu::usb::Bus& bus, const Params& params,
                                       AdapterStart* start);

// Ends the kernel's life: checks it is clean, shuts it down and sorts the verifier's findings.
void TakeFindings(emu::Kernel& kernel, const std::string& when, std::vector<std::string>* violations,
                  std::vector<std::string>* leaks);

}  // namespace ecmemu
