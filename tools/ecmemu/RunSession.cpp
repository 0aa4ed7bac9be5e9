#include "tools/ecmemu/RunSession.h"

#include "emu/capture/BusCapture.h"
#include "emu/devices/EcmFunction.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/DriverLife.h"
#include "tools/ecmemu/SessionSteps.h"

namespace ecmemu {
namespace {

// Scheduling points a session takes per frame, roughly: where an exploring schedule places its
// PCT change points.
constexpr uint64_t kStepsPerFrame = 200;

// The driver's life: load, one adapter on the device, the session's steps, halt, unload.
void Drive(const RunOptions& options, emu::devices::EcmFunction& device, emu::usb::Bus& bus, Captures& captures,
           ProgressLine& progress, Report& report) {
  emu::ndis::Library library;
  AdapterStart start;
  std::string failure;
  emu::ndis::Miniport* miniport = StartAdapter(library, bus, options.params, &start, &failure);
  if (!miniport) {
    report.failedChecks.push_back(failure);
    return;
  }
  report.steps.push_back("driver loaded");
  report.initialized = start.initialized;
  report.initializeStatus = start.initializeStatus;
  report.errorLog = start.errorLog;
  if (!report.initialized) {
    report.failedChecks.push_back("the driver refused the device");
    report.steps.push_back("initialization failed");
  } else {
    report.steps.push_back("adapter initialized");
    SessionSteps steps(options, *miniport, device, bus, captures.ethernet.get(), progress, report);
    steps.Run();
    miniport->Halt();
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
  std::unique_ptr<emu::Kernel> kernel;
  if (options.seed) {
    emu::Exploration exploration;
    exploration.seed = *options.seed;
    exploration.stepsEstimate = kStepsPerFrame * options.frames;
    kernel = std::make_unique<emu::Kernel>(exploration);
    report.mode = "exploring (" + kernel->ScheduleDescription() + ")";
  } else {
    kernel = std::make_unique<emu::Kernel>(options.threaded ? emu::Mode::Threaded : emu::Mode::Deterministic);
  }
  report.configurationIndex = static_cast<uint32_t>(std::stoul(ParamOr(options.params, "ConfigurationIndex", "0"))) & 0xFF;
  {
    emu::devices::EcmFunction device(profile);
    emu::usb::Bus bus(device);
    // On the bus before the driver loads: the capture holds the whole enumeration.
    emu::capture::BusCapture capture(captures.usb.get(), captures.ethernet.get());
    if (captures.usb || captures.ethernet) bus.SetObserver(&capture);
    Drive(options, device, bus, captures, progress, report);
    kernel->RunPending();
    bus.SetObserver(nullptr);
  }
  TakeFindings(*kernel, "at the end of the session", &report.verifierViolations, &report.leaks);
  if (captures.usb) captures.usb->Flush();
  if (captures.ethernet) captures.ethernet->Flush();
  return report;
}

}  // namespace ecmemu
