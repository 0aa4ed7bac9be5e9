#include "tools/ecmemu/DriverLife.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace ecmemu {

std::string LoadDriver(emu::ndis::Library& library) {
  NTSTATUS loaded = library.LoadDriver(DriverEntry);
  return NT_SUCCESS(loaded) ? "" : "DriverEntry failed with " + Hex32(static_cast<uint32_t>(loaded));
}

emu::ndis::Miniport& InitializeAdapter(emu::ndis::Library& library, emu::usb::Bus& bus, const Params& params,
                                       AdapterStart* start) {
  emu::ndis::Miniport& miniport = library.AddMiniport();
  miniport.deviceStack().physical = bus.Pdo();
  miniport.deviceStack().lower = bus.Pdo();
  for (const auto& [name, value] : params)
    miniport.registry().SetString(name, std::u16string(value.begin(), value.end()));
  NDIS_STATUS status = miniport.Initialize();
  start->initializeStatus = static_cast<uint32_t>(status);
  start->initialized = status == NDIS_STATUS_SUCCESS;
  for (const emu::ndis::ErrorLogEntry& entry : miniport.errorLog())
    start->errorLog.push_back({entry.code, std::vector<uint32_t>(entry.values.begin(), entry.values.end())});
  return miniport;
}

emu::ndis::Miniport* StartAdapter(emu::ndis::Library& library, emu::usb::Bus& bus, const Params& params,
                                  AdapterStart* start, std::string* failure) {
  *failure = LoadDriver(library);
  if (!failure->empty()) return nullptr;
  return &InitializeAdapter(library, bus, params, start);
}

void TakeFindings(emu::Kernel& kernel, const std::string& when, std::vector<std::string>* violations,
                  std::vector<std::string>* leaks) {
  kernel.CheckClean(when);
  kernel.Shutdown();
  for (const emu::Violation& v : kernel.verifier().Take()) (v.rule == "leak" ? leaks : violations)->push_back(v.ToString());
}

}  // namespace ecmemu
