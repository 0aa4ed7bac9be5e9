// One session of the driver against a simulated device, from driver load to unload.
#pragma once

#include "emu/devices/DeviceProfile.h"
#include "tools/ecmemu/Options.h"
#include "tools/ecmemu/Report.h"

namespace ecmemu {

// The options are valid and the profile loaded; every outcome of the driver is in the report.
Report RunSession(const RunOptions& options, const emu::devices::DeviceProfile& profile);

}  // namespace ecmemu
