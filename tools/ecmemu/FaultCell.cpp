#include "tools/ecmemu/FaultCell.h"

#include "tools/ecmemu/FreshSystem.h"
#include "tools/ecmemu/RemovalNotice.h"
#include "tools/ecmemu/SessionSteps.h"

namespace ecmemu {
namespace {

constexpr uint32_t kBringUpFailed = 0xE0070303;
constexpr uint32_t kProbeFrames = 8;

// The running adapter through the session, then how it ends.
void Session(const CellSetup& setup, emu::ndis::Miniport& miniport, emu::devices::EcmFunction& device,
             emu::usb::Bus& bus, RemovalNotice& removal, CellResult& result) {
  RunOptions options;
  options.frames = setup.frames;
  options.params = setup.params;
  options.pressOn = true;
  Report report;
  ProgressLine quiet(false);
  SessionSteps steps(options, miniport, SessionDevice{bus, *setup.profile, &device, nullptr}, nullptr, quiet, report);
  removal.AdapterRunning(miniport);
  steps.Run();
  bool resumed = !removal.deviceLeft() && steps.TrafficResumes(kProbeFrames);
  bool afterReset = false;
  if (!resumed && !removal.deviceLeft()) {
    std::optional<NDIS_STATUS> reset = steps.ResetAdapter();
    if (!reset)
      result.problems.push_back("the reset never completed");
    else if (*reset != NDIS_STATUS_SUCCESS)
      result.problems.push_back("the reset failed with " + Hex32(*reset));
    afterReset = resumed = reset == NDIS_STATUS_SUCCESS && steps.TrafficResumes(kProbeFrames);
  }
  if (removal.deviceLeft()) {
    // What is sent to a removed adapter must still complete; the verifier checks it at the halt.
    steps.TrafficResumes(1);
    result.end = removal.told() ? CellEnd::Removed : CellEnd::Broken;
    if (!removal.told()) result.problems.push_back("the adapter was never told of the surprise removal");
  } else if (resumed) {
    result.end = afterReset ? CellEnd::ResumedAfterReset : CellEnd::Resumed;
  } else {
    result.problems.push_back("the traffic did not resume, not even after a reset");
  }
  removal.AdapterHalting();
  result.haltMs = HaltWithinBound(miniport, result.problems);
  result.sessionChecks = report.failedChecks;
  result.sessionSteps = report.steps;
}

void Judge(emu::ndis::Miniport& miniport, CellResult& result) {
  for (const emu::ndis::ErrorLogEntry& entry : miniport.errorLog())
    result.errorLog.push_back({entry.code, std::vector<uint32_t>(entry.values.begin(), entry.values.end())});
  if (result.initialized) return;
  bool logged = false;
  for (const ErrorLogLine& line : result.errorLog) logged |= line.code == kBringUpFailed;
  if (logged)
    result.end = CellEnd::InitializeFailed;
  else
    result.problems.push_back("MiniportInitialize failed with " + Hex32(result.initializeStatus) +
                              " and logged no bring-up failure");
}

}  // namespace

const char* CellEndName(CellEnd end) {
  switch (end) {
    case CellEnd::Resumed: return "resumed";
    case CellEnd::ResumedAfterReset: return "resumed after a reset";
    case CellEnd::Removed: return "removed";
    case CellEnd::InitializeFailed: return "initialization failed";
    case CellEnd::Broken: return "broken";
  }
  return "?";
}

CellResult RunCell(const CellSetup& setup) {
  CellResult result;
  RemovalNotice removal;
  auto prepare = [&](FreshSystem& system) {
    system.bus.RecordTransfers(setup.keepRequests);
    system.bus.SetUnplugHandler([&removal] { removal.DeviceLeft(); });
    if (setup.fault) system.bus.AnswerUrb(*setup.fault);
  };
  auto body = [&](FreshSystem& system, emu::ndis::Miniport& miniport, const AdapterStart& start) {
    result.initialized = start.initialized;
    result.initializeStatus = start.initializeStatus;
    if (result.initialized) Session(setup, miniport, system.device, system.bus, removal, result);
    Judge(miniport, result);
    result.urbs = system.bus.UrbsNumbered();
    if (setup.keepRequests) result.requests = system.bus.Requests();
  };
  for (std::string& problem : RunFreshSystem(*setup.profile, setup.params, prepare, body))
    result.problems.push_back(std::move(problem));
  return result;
}

}  // namespace ecmemu
