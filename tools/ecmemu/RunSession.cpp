#include "tools/ecmemu/RunSession.h"

#include <memory>

#include "emu/devices/EcmFunction.h"
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"
#include "emu/usb/Bus.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace ecmemu {
namespace {

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

uint32_t ConfigurationIndex(const RunOptions& options) {
  uint32_t index = 0;
  for (const auto& [name, value] : options.params)
    if (name == "ConfigurationIndex") index = static_cast<uint32_t>(std::stoul(value, nullptr, 10));
  return index & 0xFF;
}

// The driver's life: load, one adapter on the device, halt, unload.
void Drive(const RunOptions& options, emu::usb::Bus& bus, Report& report) {
  emu::ndis::Library library;
  NTSTATUS loaded = library.LoadDriver(DriverEntry);
  if (!NT_SUCCESS(loaded)) {
    report.failedChecks.push_back("DriverEntry failed with " + Hex32(static_cast<uint32_t>(loaded)));
    return;
  }
  report.steps.push_back("driver loaded");
  emu::ndis::Miniport& miniport = library.AddMiniport();
  miniport.deviceStack().physical = bus.Pdo();
  miniport.deviceStack().lower = bus.Pdo();
  for (const auto& [name, value] : options.params) miniport.registry().SetString(name, Utf16(value));

  NDIS_STATUS status = miniport.Initialize();
  report.initializeStatus = static_cast<uint32_t>(status);
  for (const emu::ndis::ErrorLogEntry& entry : miniport.errorLog())
    report.errorLog.push_back({entry.code, std::vector<uint32_t>(entry.values.begin(), entry.values.end())});
  report.initialized = status == NDIS_STATUS_SUCCESS;
  if (!report.initialized) {
    report.failedChecks.push_back("the driver refused the device");
    report.steps.push_back("initialization failed");
  } else {
    report.steps.push_back("adapter initialized");
    miniport.Halt();
    report.steps.push_back("adapter halted");
  }
  library.UnloadDriver();
  report.steps.push_back("driver unloaded");
}

}  // namespace

Report RunSession(const RunOptions& options, const emu::devices::DeviceProfile& profile) {
  Report report;
  report.device = options.profilePath.empty() ? "built-in" : options.profilePath;
  report.mode = options.threaded ? "threaded" : "deterministic";
  report.configurationIndex = ConfigurationIndex(options);
  emu::Kernel kernel(options.threaded ? emu::Mode::Threaded : emu::Mode::Deterministic);
  {
    emu::devices::EcmFunction device(profile);
    emu::usb::Bus bus(device);
    Drive(options, bus, report);
    kernel.RunPending();
  }
  kernel.CheckClean("at the end of the session");
  kernel.Shutdown();
  for (const emu::Violation& v : kernel.verifier().Take())
    (v.rule == "leak" ? report.leaks : report.verifierViolations).push_back(v.ToString());
  return report;
}

}  // namespace ecmemu
