#include "tools/ecmemu/RunSession.h"

#include <memory>

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
// The largest bulk packets each speed allows: the bus's own limit is counted in them.
constexpr USHORT kHighSpeedBulkPacket = 512;
constexpr USHORT kFullSpeedBulkPacket = 64;

// The driver's life: load, one adapter on the device, the session's steps, halt, unload.
void Drive(const RunOptions& options, const SessionDevice& device, Captures& captures, ProgressLine& progress,
           Report& report) {
  emu::ndis::Library library;
  AdapterStart start;
  std::string failure;
  emu::ndis::Miniport* miniport = StartAdapter(library, device.bus, options.params, &start, &failure);
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
    SessionSteps steps(options, *miniport, device, captures.ethernet.get(), progress, report);
    steps.Run();
    miniport->Halt();
    report.steps.push_back("adapter halted");
    steps.AfterHalt();
  }
  library.UnloadDriver();
  report.steps.push_back("driver unloaded");
}

// The session on a device's bus, with the captures on the bus before the driver loads, so
// that they hold the whole enumeration.
void OnBus(const RunOptions& options, const SessionDevice& device, Captures& captures, ProgressLine& progress,
           Report& report) {
  emu::capture::BusCapture capture(captures.usb.get(), captures.ethernet.get());
  if (captures.usb || captures.ethernet) device.bus.SetObserver(&capture);
  Drive(options, device, captures, progress, report);
  emu::Kernel::Current().RunPending();
  device.bus.SetObserver(nullptr);
}

Report Begin(const RunOptions& options, const std::string& device, bool threaded) {
  Report report;
  report.device = device;
  report.mode = threaded ? "threaded" : "deterministic";
  report.configurationIndex = static_cast<uint32_t>(std::stoul(ParamOr(options.params, "ConfigurationIndex", "0"))) & 0xFF;
  return report;
}

void End(emu::Kernel& kernel, Captures& captures, Report& report) {
  TakeFindings(kernel, "at the end of the session", &report.verifierViolations, &report.leaks);
  if (captures.usb) captures.usb->Flush();
  if (captures.ethernet) captures.ethernet->Flush();
}

}  // namespace

Report RunSession(const RunOptions& options, const emu::devices::DeviceProfile& profile, Captures& captures,
                  ProgressLine& progress) {
  Report report = Begin(options, options.profilePath.empty() ? "built-in" : options.profilePath, options.threaded);
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
  {
    emu::devices::EcmFunction device(profile);
    emu::usb::Bus bus(device);
    if (options.busTiming) {
      bus.SetTiming(*options.busTiming);
      const emu::usb::BusSpeed& speed = options.busTiming->speed;
      USHORT packet = speed.microframes ? kHighSpeedBulkPacket : kFullSpeedBulkPacket;
      report.bus = BusGoodput{speed.name, 0, 0, 0, emu::usb::BulkLimitBitsPerSecond(speed, packet)};
    }
    OnBus(options, SessionDevice{bus, profile, &device, nullptr}, captures, progress, report);
  }
  End(*kernel, captures, report);
  return report;
}

Report RunRealSession(const RunOptions& options, emu::realusb::RealDevice& device,
                      const emu::devices::DeviceProfile& profile, Captures& captures, ProgressLine& progress) {
  // A real device answers in real time: only the threaded emulator runs it.
  Report report = Begin(options, "USB device " + device.description(), true);
  emu::Kernel kernel(emu::Mode::Threaded);
  {
    emu::usb::Bus bus(device);
    bus.RecordTransfers(false);
    device.SetOnGone([&bus] { bus.Unplug(); });
    OnBus(options, SessionDevice{bus, profile, nullptr, &device}, captures, progress, report);
    device.SetOnGone(nullptr);
    device.Close();
  }
  for (const std::string& note : device.notes()) report.steps.push_back("USB device: " + note);
  End(kernel, captures, report);
  return report;
}

}  // namespace ecmemu
