#include "tools/ecmemu/AllocationCell.h"

#include "tools/ecmemu/FaultCell.h"
#include "tools/ecmemu/FreshSystem.h"
#include "tools/ecmemu/SessionSteps.h"

namespace ecmemu {
namespace {

constexpr uint32_t kFrames = 16;
constexpr uint32_t kProbeFrames = 8;
constexpr uint32_t kAdapterNotAllocated = 0xE0070301;
constexpr uint32_t kBringUpFailed = 0xE0070303;

// For the span of one phase: arms the fault when it is for this phase, and counts the calls
// at every point when this is the phase the case is about.
class PhaseWatch {
 public:
  PhaseWatch(emu::Faults& faults, const std::optional<AllocationFault>& fault, Phase phase, Phase swept,
             AllocationResult& result)
      : faults_(faults),
        fault_(fault && fault->phase == phase ? fault : std::nullopt),
        result_(phase == swept ? &result : nullptr) {
    for (emu::FaultPoint point : kFaultPoints) before_[point] = faults_.Calls(point);
    if (fault_) faults_.FailNth(fault_->point, fault_->nth);
  }
  ~PhaseWatch() {
    if (fault_) faults_.FailNth(fault_->point, 0);
    if (result_)
      for (emu::FaultPoint point : kFaultPoints) result_->calls[point] = faults_.Calls(point) - before_[point];
  }

 private:
  emu::Faults& faults_;
  std::optional<AllocationFault> fault_;
  AllocationResult* result_;
  std::map<emu::FaultPoint, uint64_t> before_;
};

// A failed initialization returns a failure and logs why: no adapter, or the bring-up failed.
void JudgeFailedInitialize(AllocationResult& result) {
  const std::vector<ErrorLogLine>& log = result.errorLog;
  bool noAdapter = log.size() == 1 && log[0].code == kAdapterNotAllocated && log[0].values.empty();
  bool bringUp = !log.empty() && log.back().code == kBringUpFailed && log.back().values == std::vector<uint32_t>{2};
  if (NT_SUCCESS(result.initializeStatus) || result.initializeStatus == NDIS_STATUS_PENDING)
    result.problems.push_back("MiniportInitialize failed with the non-failure status " + Hex32(result.initializeStatus));
  else if (!noAdapter && !bringUp)
    result.problems.push_back("MiniportInitialize failed with " + Hex32(result.initializeStatus) +
                              " without the error log entries of a failed bring-up");
  result.end = "initialization failed";
}

// The phase after the session, then the traffic and the halt.
void RunPhases(const emu::devices::DeviceProfile& profile, emu::Faults& faults,
               const std::optional<AllocationFault>& fault, Phase phase,
               emu::ndis::Miniport& miniport, emu::devices::EcmFunction& device, emu::usb::Bus& bus,
               AllocationResult& result) {
  RunOptions options;
  options.frames = kFrames;
  options.pressOn = true;
  Report report;
  ProgressLine quiet(false);
  SessionSteps steps(options, miniport, SessionDevice{bus, profile, &device, nullptr}, nullptr, quiet, report);
  steps.Run();
  bool reportedFailure = false;
  if (phase == Phase::Reset) {
    PhaseWatch watch(faults, fault, phase, phase, result);
    std::optional<NDIS_STATUS> status = steps.ResetAdapter();
    if (!status) result.problems.push_back("the reset never completed");
    reportedFailure = status && *status != NDIS_STATUS_SUCCESS;
  } else if (phase == Phase::Reopen) {
    steps.SetPower(NdisDeviceStateD3);
    PhaseWatch watch(faults, fault, phase, phase, result);
    reportedFailure = !steps.SetPower(NdisDeviceStateD0);
  }
  if (phase != Phase::Halt) {
    // A power set succeeds even when the pipes stay closed, as NDIS requires; NDIS's hang
    // check then resets the adapter, which reopens them.
    if (steps.TrafficResumes(kProbeFrames))
      result.end = "traffic flows";
    else if (reportedFailure)
      result.end = std::string("the ") + PhaseName(phase) + " failed";
    else if (steps.ResetAdapter() == NDIS_STATUS_SUCCESS && steps.TrafficResumes(kProbeFrames))
      result.end = "traffic flows after a reset";
    else
      result.problems.push_back(std::string("the ") + PhaseName(phase) +
                                " succeeded, but the traffic does not flow, not even after a reset");
  }
  {
    PhaseWatch watch(faults, fault, Phase::Halt, phase, result);
    HaltWithinBound(miniport, result.problems);
  }
  if (phase == Phase::Halt) result.end = "halted";
}

}  // namespace

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Initialize: return "initialization";
    case Phase::Reset: return "reset";
    case Phase::Reopen: return "return to D0";
    case Phase::Halt: return "halt";
  }
  return "?";
}

const char* FaultPointName(emu::FaultPoint point) {
  switch (point) {
    case emu::FaultPoint::Pool: return "pool";
    case emu::FaultPoint::Irp: return "IRP";
    case emu::FaultPoint::Mdl: return "MDL";
    case emu::FaultPoint::WorkItem: return "work item";
    case emu::FaultPoint::Pages: return "pages";
    case emu::FaultPoint::Mapping: return "mapping";
  }
  return "?";
}

AllocationResult RunAllocationCase(const emu::devices::DeviceProfile& profile,
                                   const std::optional<AllocationFault>& fault, Phase phase) {
  AllocationResult result;
  std::optional<PhaseWatch> initializing;
  auto prepare = [&](FreshSystem& system) {
    initializing.emplace(system.kernel.faults(), fault, Phase::Initialize, phase, result);
  };
  auto body = [&](FreshSystem& system, emu::ndis::Miniport& miniport, const AdapterStart& start) {
    initializing.reset();
    result.initialized = start.initialized;
    result.initializeStatus = start.initializeStatus;
    result.errorLog = start.errorLog;
    if (!result.initialized)
      JudgeFailedInitialize(result);
    else
      RunPhases(profile, system.kernel.faults(), fault, phase, miniport, system.device, system.bus, result);
  };
  for (std::string& problem : RunFreshSystem(profile, {}, prepare, body)) result.problems.push_back(std::move(problem));
  return result;
}

}  // namespace ecmemu
