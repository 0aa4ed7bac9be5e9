// One case of the allocation sweep: a deterministic session of the driver in which the i-th
// call at one of the emulator's fault points (pool, IRP, MDL, work item, pages, mapping)
// fails during one phase of the adapter's life: MiniportInitialize, a reset, the return to
// D0, or MiniportHalt. Judged by what must hold whatever runs out: a clean failure with its
// status and error log, or a recovery; the halt done within a bound; nothing leaked; the
// verifier silent.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emu/devices/DeviceProfile.h"
#include "emu/kernel/Faults.h"
#include "tools/ecmemu/Report.h"

namespace ecmemu {

enum class Phase { Initialize, Reset, Reopen, Halt };

constexpr Phase kPhases[] = {Phase::Initialize, Phase::Reset, Phase::Reopen, Phase::Halt};
constexpr emu::FaultPoint kFaultPoints[] = {emu::FaultPoint::Pool,     emu::FaultPoint::Irp,
                                            emu::FaultPoint::Mdl,      emu::FaultPoint::WorkItem,
                                            emu::FaultPoint::Pages,    emu::FaultPoint::Mapping};

struct AllocationFault {
  Phase phase;
  emu::FaultPoint point;
  int nth;  // from 1
};

struct AllocationResult {
  std::map<emu::FaultPoint, uint64_t> calls;  // counted at each point during the phase
  bool initialized = false;
  uint32_t initializeStatus = 0;
  std::vector<ErrorLogLine> errorLog;
  std::string end;                     // how the adapter came through
  std::vector<std::string> problems;   // empty: the case holds

  bool Ok() const { return problems.empty(); }
};

// Without a fault, the phase's calls are counted for the sweep to go through.
AllocationResult RunAllocationCase(const emu::devices::DeviceProfile& profile,
                                   const std::optional<AllocationFault>& fault, Phase phase);

const char* PhaseName(Phase phase);
const char* FaultPointName(emu::FaultPoint point);

}  // namespace ecmemu
