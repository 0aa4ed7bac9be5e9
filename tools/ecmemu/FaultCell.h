// One cell of the fault matrix: a whole deterministic session of the driver against the
// device, with one numbered URB answered by one fault (or none, for the numbering), judged
// by what must hold whatever the device does: the verifier silent, nothing leaked, the halt
// done within a bound, and either the traffic going again or the initialization failing
// with its error log entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emu/devices/DeviceProfile.h"
#include "emu/usb/UrbFault.h"
#include "emu/usb/UrbServer.h"
#include "tools/ecmemu/Params.h"
#include "tools/ecmemu/Report.h"

namespace ecmemu {

struct CellSetup {
  const emu::devices::DeviceProfile* profile;
  Params params;
  uint32_t frames = 64;
  std::optional<emu::usb::UrbFault> fault;
  bool keepRequests = false;  // the numbering run keeps every URB's record
};

enum class CellEnd {
  Resumed,            // the traffic went on
  ResumedAfterReset,  // once NDIS reset the adapter, as its hang check would
  Removed,            // the device left, the adapter was told, and every packet completed
  InitializeFailed,   // MiniportInitialize failed and logged why
  Broken,             // none of these: the problems say why
};

struct CellResult {
  CellEnd end = CellEnd::Broken;
  bool initialized = false;
  uint32_t initializeStatus = 0;
  std::vector<ErrorLogLine> errorLog;
  uint64_t haltMs = 0;   // virtual time MiniportHalt took
  uint64_t urbs = 0;     // URBs the bus numbered
  std::vector<emu::usb::BusRequest> requests;  // keepRequests only
  std::vector<std::string> problems;           // empty: the cell holds
  std::vector<std::string> sessionChecks;      // the session's checks that failed: what the fault did
  std::vector<std::string> sessionSteps;       // what the session did

  bool Ok() const { return problems.empty(); }
};

CellResult RunCell(const CellSetup& setup);

const char* CellEndName(CellEnd end);

}  // namespace ecmemu
