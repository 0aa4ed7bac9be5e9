// The fault matrix: every URB the driver sends in a whole deterministic session, numbered by
// a run without faults, against every kind of fault that can hit it, each cell a session of
// its own (FaultCell.h). Cells may be selected by URB number and kind, and sampled.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "emu/devices/DeviceProfile.h"
#include "emu/usb/UrbFault.h"
#include "tools/ecmemu/FaultCell.h"
#include "tools/ecmemu/Params.h"

namespace ecmemu {

struct MatrixOptions {
  std::string profilePath;  // for the report only; the profile is given loaded
  Params params;
  uint32_t frames = 64;
  uint64_t firstUrb = 1;
  uint64_t lastUrb = UINT64_MAX;
  std::vector<emu::usb::UrbFaultKind> kinds;  // empty: every kind
  uint32_t sample = 0;  // 0: every selected cell; else this many, spread evenly over them
  bool verbose = false;  // every cell's outcome, not only the table
};

// A cell whose failure is known and is being mended elsewhere: reported as such, never as a pass.
struct ExpectedFailure {
  const char* request;  // the URB's description as the table shows it
  emu::usb::UrbFaultKind kind;
  const char* reason;
};

struct MatrixCounts {
  uint64_t urbs = 0;
  uint64_t cells = 0;   // run
  uint64_t passed = 0;
  uint64_t failed = 0;   // unexpectedly
  uint64_t expected = 0; // failed as listed
  uint64_t unexpectedPasses = 0;  // listed, but held
  double seconds = 0;
};

// Runs the matrix, prints the table and the failures; the counts say whether it held.
MatrixCounts RunMatrix(const MatrixOptions& options, const emu::devices::DeviceProfile& profile, std::ostream& out);

// "GET_DESCRIPTOR configuration 0", "bulk IN 0x81", ...
std::string DescribeRequest(const emu::usb::BusRequest& request);
// Whether the kind of fault can hit the request at all.
bool FaultApplies(emu::usb::UrbFaultKind kind, const emu::usb::BusRequest& request);

}  // namespace ecmemu
