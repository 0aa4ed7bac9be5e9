// What a bridge run did: the adapter it bridged, the frames each way and where any were
// dropped, the adapter's own counters, and what the verifier saw.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/ecmemu/AdapterTap.h"
#include "tools/ecmemu/Report.h"
#include "tools/ecmemu/WireTap.h"

namespace ecmemu {

struct BridgeReport {
  std::string device;  // "built-in", the profile path, or "USB device ..." for a real one
  std::string tap;
  std::string wireTap;  // empty for a real device, whose wire is its own
  std::vector<std::string> deviceNotes;  // a real device: taken from the kernel and given back
  bool initialized = false;
  uint32_t initializeStatus = 0;
  std::vector<ErrorLogLine> errorLog;
  std::optional<std::string> permanentAddress;
  std::optional<std::string> currentAddress;
  uint32_t maximumTotalSize = 0;
  uint32_t mtu = 0;
  uint32_t packetFilter = 0;  // the NDIS filter set on the adapter
  bool bridged = false;       // both TAPs carried frames
  AdapterTapCounts adapterSide;
  WireTapCounts wireSide;
  Counters counters;
  std::vector<std::string> failures;  // why the bridge did not run or stopped on its own
  std::vector<std::string> verifierViolations;
  std::vector<std::string> leaks;

  bool Ok() const { return initialized && failures.empty() && verifierViolations.empty() && leaks.empty(); }
};

std::string ToText(const BridgeReport& report);

}  // namespace ecmemu
