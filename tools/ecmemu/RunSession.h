// One session of the driver against a simulated or a real device, from driver load to unload.
#pragma once

#include <memory>

#include "emu/capture/UsbCapture.h"
#include "emu/devices/DeviceProfile.h"
#include "emu/realusb/RealDevice.h"
#include "tools/ecmemu/Options.h"
#include "tools/ecmemu/ProgressLine.h"
#include "tools/ecmemu/Report.h"

namespace ecmemu {

// The capture files the user asked for, opened before the session starts; either may be null.
struct Captures {
  std::unique_ptr<emu::capture::UsbCapture> usb;
  std::unique_ptr<emu::capture::EthernetCapture> ethernet;
};

// The options are valid and the profile loaded; every outcome of the driver is in the report.
Report RunSession(const RunOptions& options, const emu::devices::DeviceProfile& profile, Captures& captures,
                  ProgressLine& progress);
// The same on an opened real device, whose profile was read from it; the device is given
// back (Close) before the session's findings are taken.
Report RunRealSession(const RunOptions& options, emu::realusb::RealDevice& device,
                      const emu::devices::DeviceProfile& profile, Captures& captures, ProgressLine& progress);

}  // namespace ecmemu
