// ecmemu: the cdcecm driver in the emulator, for people and for scripts.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "emu/devices/ProfileReader.h"
#include "emu/usb/RemovalStatus.h"
#include "tools/ecmemu/BridgeSession.h"
#include "tools/ecmemu/DeviceChoice.h"
#include "tools/ecmemu/FaultMatrix.h"
#include "tools/ecmemu/Goodput.h"
#include "tools/ecmemu/Options.h"
#include "tools/ecmemu/Reflector.h"
#include "tools/ecmemu/RunSession.h"
#include "tools/ecmemu/Traffic.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitChecksFailed = 1;
constexpr int kExitUsage = 2;

int Usage(const std::string& message) {
  std::cerr << "ecmemu: " << message << "\n";
  return kExitUsage;
}

// The capture files, created before anything runs so that a bad path is a usage error.
bool OpenCaptures(const ecmemu::RunOptions& options, ecmemu::Captures& captures, std::string* error) {
  if (!options.usbPcapPath.empty()) {
    captures.usb = emu::capture::UsbCapture::Create(options.usbPcapPath, error);
    if (!captures.usb) return false;
  }
  if (!options.ethPcapPath.empty()) {
    captures.ethernet = emu::capture::EthernetCapture::Create(options.ethPcapPath, error);
    if (!captures.ethernet) return false;
  }
  return true;
}

// The real device a command names, opened; null after the usage error is printed.
std::unique_ptr<emu::realusb::RealDevice> OpenUsbDevice(const std::string& text, bool take) {
  std::string error;
  std::optional<emu::realusb::DeviceSelector> selector = emu::realusb::ParseDeviceSelector(text, &error);
  std::unique_ptr<emu::realusb::RealDevice> device =
      selector ? emu::realusb::RealDevice::Open(*selector, take, &error) : nullptr;
  if (!device) Usage("--usb-device: " + error);
  return device;
}

int Print(const ecmemu::RunOptions& options, const ecmemu::Report& report) {
  if (options.json)
    std::cout << ecmemu::ToJson(report).dump(2) << "\n";
  else
    std::cout << ecmemu::ToText(report);
  return report.Ok() ? kExitOk : kExitChecksFailed;
}

int Run(ecmemu::RunOptions& options, const std::vector<std::string>& rawParams) {
  std::string error;
  if (!ecmemu::ParseParams(rawParams, &options.params, &error)) return Usage(error);
  if (!options.usbDevice.empty() && !options.profilePath.empty())
    return Usage("--profile and --usb-device name two devices");
  if (options.busTiming && (options.threaded || !options.usbDevice.empty()))
    return Usage("--bus-timing keeps virtual time: not with --threaded or --usb-device");
  emu::devices::DeviceProfile profile;
  if (options.usbDevice.empty() && !ecmemu::ChooseDevice(options.profilePath, &profile, &error)) return Usage(error);
  if (!options.usbPcapPath.empty() && options.usbPcapPath == options.ethPcapPath)
    return Usage("--usb-pcap and --eth-pcap name the same file");
  ecmemu::Captures captures;
  if (!OpenCaptures(options, captures, &error)) return Usage("cannot write the capture: " + error);
  ecmemu::ProgressLine progress(isatty(STDERR_FILENO) != 0);
  if (options.usbDevice.empty()) {
    ecmemu::Report report = ecmemu::RunSession(options, profile, captures, progress);
    progress.Clear();
    return Print(options, report);
  }
  std::unique_ptr<emu::realusb::RealDevice> device = OpenUsbDevice(options.usbDevice, true);
  if (!device) return kExitUsage;
  // The session reads which configuration the driver chose from the device's own descriptors.
  if (!emu::devices::ReadProfile(*device, &profile, &error)) return Usage("--usb-device: " + error);
  ecmemu::Report report = ecmemu::RunRealSession(options, *device, profile, captures, progress);
  progress.Clear();
  return Print(options, report);
}

int Bridge(ecmemu::BridgeOptions& options, const std::vector<std::string>& rawParams) {
  std::string error;
  if (!ecmemu::ParseParams(rawParams, &options.params, &error)) return Usage(error);
  error = ecmemu::CheckBridgeOptions(options);
  if (!error.empty()) return Usage(error);
  if (!options.usbDevice.empty()) {
    std::unique_ptr<emu::realusb::RealDevice> device = OpenUsbDevice(options.usbDevice, true);
    return device ? ecmemu::RunRealBridge(options, *device) : kExitUsage;
  }
  emu::devices::DeviceProfile profile;
  if (!ecmemu::ChooseDevice(options.profilePath, &profile, &error)) return Usage(error);
  return ecmemu::RunBridge(options, profile);
}

// "7" or "7-90": the URB numbers whose cells run.
bool ParseUrbRange(const std::string& text, ecmemu::MatrixOptions& options) {
  unsigned long long first = 0, last = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%llu-%llu%c", &first, &last, &extra) == 2 && first >= 1 && first <= last) {
    options.firstUrb = first;
    options.lastUrb = last;
    return true;
  }
  if (std::sscanf(text.c_str(), "%llu%c", &first, &extra) == 1 && first >= 1) {
    options.firstUrb = options.lastUrb = first;
    return true;
  }
  return false;
}

int Faults(ecmemu::MatrixOptions& options, const std::vector<std::string>& rawParams, const std::string& urbs,
           const std::vector<std::string>& kinds) {
  std::string error;
  if (!ecmemu::ParseParams(rawParams, &options.params, &error)) return Usage(error);
  emu::devices::DeviceProfile profile;
  if (!ecmemu::ChooseDevice(options.profilePath, &profile, &error)) return Usage(error);
  if (!urbs.empty() && !ParseUrbRange(urbs, options)) return Usage("--urbs takes N or N-M, from 1: " + urbs);
  for (const std::string& name : kinds) {
    std::optional<emu::usb::UrbFaultKind> kind = emu::usb::UrbFaultByName(name.c_str());
    if (!kind) return Usage("unknown fault kind '" + name + "' (stall, error, nak, gone, stall-request, short)");
    options.kinds.push_back(*kind);
  }
  ecmemu::MatrixCounts counts = ecmemu::RunMatrix(options, profile, std::cout);
  return counts.failed == 0 && counts.unexpectedPasses == 0 ? kExitOk : kExitChecksFailed;
}

int Profile(const std::string& usbDevice, const std::string& outputPath) {
  std::unique_ptr<emu::realusb::RealDevice> device = OpenUsbDevice(usbDevice, false);
  if (!device) return kExitUsage;
  emu::devices::DeviceProfile profile;
  std::string error;
  if (!emu::devices::ReadProfile(*device, &profile, &error)) {
    std::cerr << "ecmemu: " << device->description() << ": " << error << "\n";
    return kExitChecksFailed;
  }
  std::string text = emu::devices::FormatProfile(profile, "read from the USB device " + device->description());
  for (const std::string& note : emu::devices::CheckProfile(profile)) text += "# note: " + note + "\n";
  if (outputPath.empty() || outputPath == "-") {
    std::cout << text;
    return kExitOk;
  }
  std::ofstream out(outputPath);
  out << text;
  if (!out.flush()) return Usage("cannot write " + outputPath);
  return kExitOk;
}

// The options that put a session on a timed bus; false when they are not understood.
struct TimingChoice {
  std::string speed;
  uint64_t dpcLatencyUs = 0;
  uint32_t interruptThreshold = 1;

  void AddTo(CLI::App* command, const std::string& speedHelp) {
    command->add_option("--bus-timing", speed, speedHelp)->check(CLI::IsMember({"high", "full"}));
    command->add_option("--dpc-latency-us", dpcLatencyUs,
                        "a timed bus: microseconds from a completion to the driver's next transfer reaching the bus")
        ->check(CLI::Range(0u, 1000000u));
    command->add_option("--interrupt-threshold", interruptThreshold,
                        "a timed bus: (micro)frames between the host controller's completion interrupts (default 1)")
        ->check(CLI::Range(1u, 64u));
  }
  std::optional<emu::usb::BusTiming> Timing() const {
    if (speed.empty()) return std::nullopt;
    return emu::usb::BusTiming{speed == "full" ? emu::usb::kFullSpeed : emu::usb::kHighSpeed, interruptThreshold,
                               dpcLatencyUs * 10};
  }
};

int Goodput(ecmemu::GoodputOptions& options, const TimingChoice& timing) {
  emu::devices::DeviceProfile profile;
  std::string error;
  if (!ecmemu::ChooseDevice(options.profilePath, &profile, &error)) return Usage(error);
  TimingChoice chosen = timing;
  if (chosen.speed.empty()) chosen.speed = "high";
  options.timing = *chosen.Timing();
  return ecmemu::PrintGoodputTable(profile, options, std::cout) ? kExitOk : kExitChecksFailed;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ecmemu: the cdcecm NDIS miniport driver running against an emulated USB CDC ECM device"};
  app.require_subcommand(1);
  ecmemu::RunOptions run;
  std::vector<std::string> rawParams;
  CLI::App* runCommand = app.add_subcommand("run", "load the driver, bring a device up, exchange traffic, "
                                                   "halt and unload; print a report");
  runCommand->add_option("--profile", run.profilePath, "device profile file (default: the built-in device)");
  runCommand->add_option("--usb-device", run.usbDevice,
                         "a real USB device instead, VID:PID[@N] or a bus path such as 1-2 (its far end "
                         "must reflect the frames: ecmemu reflect)");
  runCommand->add_option("--param", rawParams, "registry keyword NAME=VALUE for the adapter (repeatable)");
  runCommand->add_option("--frames", run.frames, "frames to exchange each way")->check(CLI::Range(1u, 1000000u));
  runCommand
      ->add_option("--frame-size", run.frameSize,
                   "bytes of every frame, header included (default: lengths spread over the whole range)")
      ->check(CLI::Range(static_cast<uint32_t>(ecmemu::kFrameOverhead), 65535u));
  CLI::Option* threaded =
      runCommand->add_flag("--threaded", run.threaded, "run on the threaded emulator (real threads and time)");
  runCommand
      ->add_option("--seed", run.seed,
                   "explore one schedule: every platform call may switch threads and start DPCs and work "
                   "items; the seed picks the schedule and replays it exactly")
      ->excludes(threaded);
  runCommand->add_flag("--surprise-removal", run.surpriseRemoval,
                       "unplug the device in the middle of the traffic (a real device: wait for its removal)");
  std::vector<std::string> removalStatuses;
  for (const emu::usb::RemovalStatus& status : emu::usb::kRemovalStatuses) removalStatuses.push_back(status.name);
  runCommand
      ->add_option("--removal-status", run.removalStatus,
                   "how the bus ends the transfers the removal finds pending (default device-gone)")
      ->check(CLI::IsMember(removalStatuses));
  runCommand->add_flag("--json", run.json, "print the report as one JSON object");
  runCommand->add_option("--usb-pcap", run.usbPcapPath, "write the USB traffic as a USBPcap capture");
  runCommand->add_option("--eth-pcap", run.ethPcapPath, "write the adapter's frames as an Ethernet capture");
  TimingChoice runTiming;
  runTiming.AddTo(runCommand, "keep USB time on a high- or full-speed bus and report the goodput (deterministic only)");
  ecmemu::BridgeOptions bridge;
  std::vector<std::string> rawBridgeParams;
  CLI::App* bridgeCommand = app.add_subcommand(
      "bridge", "carry real traffic through the driver, between a TAP interface on the adapter's protocol side "
                "and the device's wire (a second TAP, or a real device's own), until SIGINT or SIGTERM; print "
                "the counters");
  bridgeCommand->add_option("--tap", bridge.tap, "TAP interface for the adapter's side (created)")->required();
  bridgeCommand->add_option("--wire-tap", bridge.wireTap, "TAP interface for the simulated device's wire (created)");
  bridgeCommand->add_option("--profile", bridge.profilePath, "device profile file (default: the built-in device)");
  bridgeCommand->add_option("--usb-device", bridge.usbDevice, "a real USB device instead, VID:PID[@N] or a bus path");
  bridgeCommand->add_option("--param", rawBridgeParams, "registry keyword NAME=VALUE for the adapter (repeatable)");
  ecmemu::MatrixOptions matrix;
  std::vector<std::string> rawMatrixParams, kinds;
  std::string urbs;
  CLI::App* faultsCommand = app.add_subcommand(
      "faults", "number every URB of a deterministic session, then rerun the session once per URB and kind of "
                "fault with that URB answered by the fault; print the matrix");
  faultsCommand->add_option("--profile", matrix.profilePath, "device profile file (default: the built-in device)");
  faultsCommand->add_option("--param", rawMatrixParams, "registry keyword NAME=VALUE for the adapter (repeatable)");
  faultsCommand->add_option("--frames", matrix.frames, "frames each way in every session")
      ->check(CLI::Range(8u, 100000u));
  faultsCommand->add_option("--urbs", urbs, "only the URBs numbered N, or N to M (N-M)");
  faultsCommand->add_option("--kinds", kinds, "only these kinds: stall, error, nak, gone, stall-request, short")
      ->delimiter(',');
  faultsCommand->add_option("--sample", matrix.sample, "run this many of the selected cells, spread evenly");
  faultsCommand->add_flag("--verbose", matrix.verbose, "print every cell's outcome as it ends");
  ecmemu::ReflectOptions reflect;
  CLI::App* reflectCommand = app.add_subcommand(
      "reflect", "the far end of a real device's wire: send a session's frames back on a network interface");
  reflectCommand->add_option("--interface", reflect.interface, "the network interface (raw socket; root)")->required();
  reflectCommand->add_option("--seconds", reflect.seconds, "stop after this long (default: at SIGINT or SIGTERM)");
  std::string profileDevice, profileOutput;
  CLI::App* profileCommand =
      app.add_subcommand("profile", "read a real USB device's descriptors and write them as a device profile");
  profileCommand->add_option("--usb-device", profileDevice, "VID:PID[@N] or a bus path")->required();
  profileCommand->add_option("--output", profileOutput, "the profile file (default: standard output)");
  ecmemu::GoodputOptions goodput;
  TimingChoice goodputTiming;
  CLI::App* goodputCommand = app.add_subcommand(
      "goodput", "measure what the driver reaches each way on a timed USB bus, for RxBuffers and TxBuffers of 2 to "
                 "32 and frames of 60, 512 and 1514 bytes; print the table");
  goodputCommand->add_option("--profile", goodput.profilePath, "device profile file (default: the built-in device)");
  goodputTiming.AddTo(goodputCommand, "the bus: high (the default) or full speed");
  goodputCommand->add_option("--window-ms", goodput.windowMs, "virtual milliseconds measured per cell")
      ->check(CLI::Range(1u, 1000u));
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& e) {
    bool known = runCommand->parsed() || bridgeCommand->parsed() || faultsCommand->parsed() ||
                 reflectCommand->parsed() || profileCommand->parsed() || goodputCommand->parsed();
    if (argc > 1 && argv[1][0] != '-' && !known)
      return Usage(std::string("unknown command '") + argv[1] +
                   "' (the commands are run, bridge, faults, reflect, profile and goodput)");
    return Usage(e.what());
  }
  if (runCommand->parsed()) {
    run.busTiming = runTiming.Timing();
    return Run(run, rawParams);
  }
  if (goodputCommand->parsed()) return Goodput(goodput, goodputTiming);
  if (bridgeCommand->parsed()) return Bridge(bridge, rawBridgeParams);
  if (faultsCommand->parsed()) return Faults(matrix, rawMatrixParams, urbs, kinds);
  if (reflectCommand->parsed()) return ecmemu::RunReflector(reflect);
  if (profileCommand->parsed()) return Profile(profileDevice, profileOutput);
  return Usage("no command");
}
