#include "tools/ecmemu/RunSession.h"

#include "emu/capture/BusCapture.h"
#include "emu/devices/EcmFunction.h"
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/SessionSteps.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace ecmemu {
namespace {

std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The driver's life: load, one adapter on the device, the session's steps, halt, unload.
void Drive(const RunOptions& options, emu::devices::EcmFunction& device, emu::usb::Bus& bus, Captures& captures,
           ProgressLine& progress, Report& report) {
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
    SessionSteps steps(options, miniport, device, bus, captures.ethernet.get(), progress, report);
    steps.Run();
    miniport.Halt();
    report.steps.push_back("adapter halted");
    steps.AfterHalt();
  }
  library.UnloadDriver();
  report.steps.push_back("driver unloaded");
}

}  // namespace

Report RunSession(const RunOptions& options, const emu::devices::DeviceProfile& profile, Captures& captures,
                  ProgressLine& progress) {
  Report report;
  report.device = options.profilePath.empty() ? "built-in" : options.profilePath;
  report.mode = options.threaded ? "threaded" : "deterministic";
  report.configurationIndex = static_cast<uint32_t>(std::stoul(ParamOr(options.params, "ConfigurationIndex", "0"))) & 0xFF;
  emu::Kernel kernel(options.threaded ? emu::Mode::Threaded : emu::Mode::Deterministic);
  {
    emu::devices::EcmFunction device(profile);
    emu::usb::Bus bus(device);
    // On the bus before the driver loads: the capture holds the whole enumeration.
    emu::capture::BusCapture capture(captures.usb.get(), captures.ethernet.get());
    if (captures.usb || captures.ethernet) bus.SetObserver(&capture);
    Drive(options, device, bus, captures, progress, report);
    kernel.RunPending();
    bus.SetObserver(nullptr);
  }
  kernel.CheckClean("at the end of the session");
  kernel.Shutdown();
  for (const emu::Violation& v : kernel.verifier().Take())
    (v.rule == "leak" ? report.leaks : report.verifierViolations).push_back(v.ToString());
  if (captures.usb) captures.usb->Flush();
  if (captures.ethernet) captures.ethernet->Flush();
  return report;
}

}  // namespace ecmemu
