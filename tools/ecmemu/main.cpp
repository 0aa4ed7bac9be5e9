// ecmemu: the cdcecm driver in the emulator, for people and for scripts.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "emu/usb/RemovalStatus.h"
#include "tools/ecmemu/BridgeSession.h"
#include "tools/ecmemu/DeviceChoice.h"
#include "tools/ecmemu/Options.h"
#include "tools/ecmemu/RunSession.h"

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

int Run(ecmemu::RunOptions& options, const std::vector<std::string>& rawParams) {
  std::string error;
  if (!ecmemu::ParseParams(rawParams, &options.params, &error)) return Usage(error);
  emu::devices::DeviceProfile profile;
  if (!ecmemu::ChooseDevice(options.profilePath, &profile, &error)) return Usage(error);
  if (!options.usbPcapPath.empty() && options.usbPcapPath == options.ethPcapPath)
    return Usage("--usb-pcap and --eth-pcap name the same file");
  ecmemu::Captures captures;
  if (!OpenCaptures(options, captures, &error)) return Usage("cannot write the capture: " + error);
  ecmemu::ProgressLine progress(isatty(STDERR_FILENO) != 0);
  ecmemu::Report report = ecmemu::RunSession(options, profile, captures, progress);
  progress.Clear();
  if (options.json)
    std::cout << ecmemu::ToJson(report).dump(2) << "\n";
  else
    std::cout << ecmemu::ToText(report);
  return report.Ok() ? kExitOk : kExitChecksFailed;
}

int Bridge(ecmemu::BridgeOptions& options, const std::vector<std::string>& rawParams) {
  std::string error;
  if (!ecmemu::ParseParams(rawParams, &options.params, &error)) return Usage(error);
  emu::devices::DeviceProfile profile;
  if (!ecmemu::ChooseDevice(options.profilePath, &profile, &error)) return Usage(error);
  error = ecmemu::CheckBridgeOptions(options);
  if (!error.empty()) return Usage(error);
  return ecmemu::RunBridge(options, profile);
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
  runCommand->add_option("--param", rawParams, "registry keyword NAME=VALUE for the adapter (repeatable)");
  runCommand->add_option("--frames", run.frames, "frames to exchange each way")->check(CLI::Range(1u, 1000000u));
  runCommand->add_flag("--threaded", run.threaded, "run on the threaded emulator (real threads and time)");
  runCommand->add_flag("--surprise-removal", run.surpriseRemoval, "unplug the device in the middle of the traffic");
  std::vector<std::string> removalStatuses;
  for (const emu::usb::RemovalStatus& status : emu::usb::kRemovalStatuses) removalStatuses.push_back(status.name);
  runCommand
      ->add_option("--removal-status", run.removalStatus,
                   "how the bus ends the transfers the removal finds pending (default device-gone)")
      ->check(CLI::IsMember(removalStatuses));
  runCommand->add_flag("--json", run.json, "print the report as one JSON object");
  runCommand->add_option("--usb-pcap", run.usbPcapPath, "write the USB traffic as a USBPcap capture");
  runCommand->add_option("--eth-pcap", run.ethPcapPath, "write the adapter's frames as an Ethernet capture");
  ecmemu::BridgeOptions bridge;
  std::vector<std::string> rawBridgeParams;
  CLI::App* bridgeCommand = app.add_subcommand(
      "bridge", "carry real traffic through the driver, between a TAP interface on the adapter's protocol side "
                "and a TAP interface on the device's wire, until SIGINT or SIGTERM; print the counters");
  bridgeCommand->add_option("--tap", bridge.tap, "TAP interface for the adapter's side (created)")->required();
  bridgeCommand->add_option("--wire-tap", bridge.wireTap, "TAP interface for the device's wire (created)")->required();
  bridgeCommand->add_option("--profile", bridge.profilePath, "device profile file (default: the built-in device)");
  bridgeCommand->add_option("--param", rawBridgeParams, "registry keyword NAME=VALUE for the adapter (repeatable)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& e) {
    if (argc > 1 && argv[1][0] != '-' && !runCommand->parsed() && !bridgeCommand->parsed())
      return Usage(std::string("unknown command '") + argv[1] + "' (the commands are run and bridge)");
    return Usage(e.what());
  }
  if (runCommand->parsed()) return Run(run, rawParams);
  if (bridgeCommand->parsed()) return Bridge(bridge, rawBridgeParams);
  return Usage("no command");
}
