// A whole emulated system for one run of its own, as the fault matrix and the allocation
// sweep need for every case: a deterministic kernel, the device on its bus, the NDIS library
// with the driver loaded and one adapter initialized on the device. The body gets the pieces;
// what the verifier and the leak check found at the end is returned.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "emu/devices/EcmFunction.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/DriverLife.h"

namespace ecmemu {

struct FreshSystem {
  emu::Kernel& kernel;
  emu::devices::EcmFunction& device;
  emu::usb::Bus& bus;
  emu::ndis::Library& library;
};

// 'prepare' runs once the driver is loaded, before MiniportInitialize; 'body' gets the adapter
// as the initialization left it. The driver is unloaded afterwards. A DriverEntry that fails
// is one of the problems returned, and neither runs then.
using PrepareSystem = std::function<void(FreshSystem&)>;
using UseAdapter = std::function<void(FreshSystem&, emu::ndis::Miniport&, const AdapterStart&)>;
std::vector<std::string> RunFreshSystem(const emu::devices::DeviceProfile& profile, const Params& params,
                                        const PrepareSystem& prepare, const UseAdapter& body);

constexpr uint64_t kHaltBoundMs = 30000;

// MiniportHalt, timed in the kernel's time; a halt longer than the bound is a problem.
uint64_t HaltWithinBound(emu::ndis::Miniport& miniport, std::vector<std::string>& problems);

}  // namespace ecmemu
