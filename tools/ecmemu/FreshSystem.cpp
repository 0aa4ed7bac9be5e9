#include "tools/ecmemu/FreshSystem.h"

namespace ecmemu {

std::vector<std::string> RunFreshSystem(const emu::devices::DeviceProfile& profile, const Params& params,
                                        const PrepareSystem& prepare, const UseAdapter& body) {
  std::vector<std::string> problems;
  emu::Kernel kernel(emu::Mode::Deterministic);
  {
    emu::devices::EcmFunction device(profile);
    emu::usb::Bus bus(device);
    bus.RecordTransfers(false);
    emu::ndis::Library library;
    FreshSystem system{kernel, device, bus, library};
    std::string failure = LoadDriver(library);
    if (failure.empty()) {
      prepare(system);
      AdapterStart start;
      emu::ndis::Miniport& miniport = InitializeAdapter(library, bus, params, &start);
      body(system, miniport, start);
      library.UnloadDriver();
    } else {
      problems.push_back(failure);
    }
    kernel.RunPending();
  }
  std::vector<std::string> violations, leaks;
  TakeFindings(kernel, "at the end of the run", &violations, &leaks);
  for (const std::string& v : violations) problems.push_back("verifier: " + v);
  for (const std::string& l : leaks) problems.push_back("leak: " + l);
  return problems;
}

uint64_t HaltWithinBound(emu::ndis::Miniport& miniport, std::vector<std::string>& problems) {
  emu::Kernel& kernel = emu::Kernel::Current();
  uint64_t start = kernel.NowMs();
  miniport.Halt();
  uint64_t took = kernel.NowMs() - start;
  if (took > kHaltBoundMs) problems.push_back("MiniportHalt took " + std::to_string(took) + " ms");
  return took;
}

}  // namespace ecmemu
