#include "tools/ecmemu/FaultMatrix.h"

#include <chrono>
#include <cstdio>
#include <map>

#include "tools/ecmemu/IsolatedCell.h"

namespace ecmemu {
namespace {

using emu::usb::BusRequest;
using emu::usb::UrbFault;
using emu::usb::UrbFaultKind;

// Cells that fail for a known driver fault being mended elsewhere; this list goes when the
// mend arrives.
const std::vector<ExpectedFailure>& ExpectedFailures() {
  static const std::vector<ExpectedFailure> kList = {};
  return kList;
}

const ExpectedFailure* Expected(const std::string& request, UrbFaultKind kind) {
  for (const ExpectedFailure& expected : ExpectedFailures())
    if (request == expected.request && kind == expected.kind) return &expected;
  return nullptr;
}

std::string Hex8(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
  return text;
}

const char* ClassRequestName(UCHAR request) {
  switch (request) {
    case 0x40: return "SET_ETHERNET_MULTICAST_FILTERS";
    case 0x41: return "SET_ETHERNET_PM_PATTERN_FILTER";
    case 0x42: return "GET_ETHERNET_PM_PATTERN_FILTER";
    case 0x43: return "SET_ETHERNET_PACKET_FILTER";
    case 0x44: return "GET_ETHERNET_STATISTIC";
    default: return nullptr;
  }
}

std::string DescribeControl(const BusRequest& request) {
  const emu::usb::SetupPacket& setup = *request.setup;
  switch (request.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      static const char* kTypes[] = {"?", "device", "configuration", "string"};
      unsigned type = setup.wValue >> 8;
      return std::string("GET_DESCRIPTOR ") + (type < 4 ? kTypes[type] : Hex8(type).c_str()) + " " +
             std::to_string(setup.wValue & 0xFF) + " (" + std::to_string(setup.wLength) + " bytes)";
    }
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return setup.wValue ? "SELECT_CONFIGURATION " + std::to_string(setup.wValue) : "SELECT_CONFIGURATION none";
    case URB_FUNCTION_SELECT_INTERFACE:
      return "SELECT_INTERFACE " + std::to_string(setup.wIndex) + " alternate " + std::to_string(setup.wValue);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return "RESET_PIPE " + Hex8(request.endpoint);
    default: break;
  }
  const char* name = ClassRequestName(setup.bRequest);
  return std::string("class request ") + (name ? name : Hex8(setup.bRequest).c_str());
}

// The cells to run: every applicable (URB, kind) selected, sampled per kind.
std::vector<UrbFault> Cells(const MatrixOptions& options, const std::vector<BusRequest>& requests) {
  std::vector<UrbFaultKind> kinds = options.kinds;
  if (kinds.empty()) kinds.assign(std::begin(emu::usb::kUrbFaultKinds), std::end(emu::usb::kUrbFaultKinds));
  std::vector<UrbFault> cells;
  for (UrbFaultKind kind : kinds) {
    std::vector<UrbFault> ofKind;
    for (const BusRequest& request : requests)
      if (request.number >= options.firstUrb && request.number <= options.lastUrb && FaultApplies(kind, request))
        ofKind.push_back({request.number, kind});
    size_t take = options.sample ? (options.sample + kinds.size() - 1) / kinds.size() : ofKind.size();
    if (take >= ofKind.size()) {
      cells.insert(cells.end(), ofKind.begin(), ofKind.end());
      continue;
    }
    for (size_t i = 0; i < take; ++i) cells.push_back(ofKind[i * ofKind.size() / take]);
  }
  return cells;
}

const char* Mark(const CellResult& result, bool expected) {
  if (!result.Ok()) return expected ? "xfail" : "FAIL";
  if (expected) return "XPASS";
  switch (result.end) {
    case CellEnd::Resumed: return "ok";
    case CellEnd::ResumedAfterReset: return "reset";
    case CellEnd::Removed: return "gone";
    case CellEnd::InitializeFailed: return "init";
    case CellEnd::Broken: break;
  }
  return "FAIL";
}

std::string Row(const std::vector<std::string>& cells) {
  static const int kWidths[] = {6, 46, 7, 7, 7, 7, 14, 7};
  std::string row;
  for (size_t i = 0; i < cells.size(); ++i) {
    std::string cell = cells[i];
    int width = kWidths[i < 8 ? i : 7];
    if (static_cast<int>(cell.size()) < width) cell.resize(width, ' ');
    row += cell;
  }
  while (!row.empty() && row.back() == ' ') row.pop_back();
  return row + "\n";
}

}  // namespace

std::string DescribeRequest(const BusRequest& request) {
  if (request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    return std::string("transfer ") + ((request.endpoint & 0x80) ? "IN " : "OUT ") + Hex8(request.endpoint);
  if (request.function == URB_FUNCTION_ABORT_PIPE) return "ABORT_PIPE " + Hex8(request.endpoint);
  if (!request.setup) return "URB function " + Hex8(request.function);
  return DescribeControl(request);
}

bool FaultApplies(UrbFaultKind kind, const BusRequest& request) {
  if (kind == UrbFaultKind::DeviceGone) return true;
  bool transfer = request.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  bool in = transfer ? (request.endpoint & 0x80) != 0
                     : request.setup && (request.setup->bmRequestType & 0x80) && request.setup->wLength > 0;
  // An abort stays on the host; a refused URB never reached the device.
  if (!transfer && !request.setup) return false;
  switch (kind) {
    case UrbFaultKind::StallRequest: return !transfer;
    case UrbFaultKind::ShortAnswer: return in;
    default: return true;
  }
}

namespace {

using Marks = std::map<uint64_t, std::map<UrbFaultKind, std::string>>;

std::string FailureText(const std::string& name, const CellResult& result, const ExpectedFailure* expected,
                        bool verbose) {
  std::string text = name + (expected ? ": EXPECTED FAILURE (" + std::string(expected->reason) + ")" : ": FAILED");
  for (const std::string& problem : result.problems) text += "\n    " + problem;
  for (const std::string& check : result.sessionChecks) text += "\n    (session: " + check + ")";
  if (verbose)
    for (const std::string& step : result.sessionSteps) text += "\n    (step: " + step + ")";
  return text;
}

void PrintTable(const std::vector<BusRequest>& requests, Marks& marks, std::ostream& out) {
  std::vector<std::string> header = {"URB", "request"};
  for (UrbFaultKind kind : emu::usb::kUrbFaultKinds) header.push_back(UrbFaultName(kind));
  out << "\n" << Row(header);
  for (const BusRequest& request : requests) {
    if (!marks.count(request.number)) continue;
    std::vector<std::string> row = {std::to_string(request.number), DescribeRequest(request)};
    for (UrbFaultKind kind : emu::usb::kUrbFaultKinds) {
      auto mark = marks[request.number].find(kind);
      row.push_back(mark != marks[request.number].end() ? mark->second : FaultApplies(kind, request) ? "." : "-");
    }
    out << Row(row);
  }
  out << "\nok: the traffic went on; reset: it went on once the adapter was reset; gone: the device left and the "
         "adapter was told; init: the initialization failed and logged why; FAIL: none of these, or the verifier, "
         "the leak check or the halt's bound caught the driver; xfail: failed for a known fault being mended; "
         "XPASS: listed as such a failure, but held; -: the fault cannot hit the URB; .: not run\n";
}

void PrintSummary(const MatrixCounts& counts, const Marks& marks, std::ostream& out) {
  std::map<UrbFaultKind, uint64_t> byKind;
  for (const auto& [number, kinds] : marks)
    for (const auto& [kind, mark] : kinds) ++byKind[kind];
  out << "\n" << counts.cells << " cells run (";
  bool first = true;
  for (const auto& [kind, count] : byKind) {
    out << (first ? "" : ", ") << UrbFaultName(kind) << " " << count;
    first = false;
  }
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", counts.seconds);
  out << "): " << counts.passed << " held, " << counts.failed << " failed, " << counts.expected
      << " failed as expected, " << counts.unexpectedPasses << " listed but held; " << seconds << " s\n";
}

}  // namespace

MatrixCounts RunMatrix(const MatrixOptions& options, const emu::devices::DeviceProfile& profile, std::ostream& out) {
  auto start = std::chrono::steady_clock::now();
  MatrixCounts counts;
  CellSetup setup{&profile, options.params, options.frames, std::nullopt, true};
  CellResult numbering = RunCell(setup);
  counts.urbs = numbering.urbs;
  out << "ecmemu faults: the cdcecm driver with the " << (options.profilePath.empty() ? "built-in" : options.profilePath)
      << " device; a session of " << options.frames << " frames each way sends " << numbering.urbs << " URBs\n";
  if (!numbering.Ok() || numbering.end != CellEnd::Resumed) {
    out << "the session without a fault does not hold (" << CellEndName(numbering.end) << "):\n";
    for (const std::string& problem : numbering.problems) out << "  " << problem << "\n";
    counts.failed = 1;
    return counts;
  }
  setup.keepRequests = false;
  Marks marks;
  std::vector<std::string> failures;
  for (const UrbFault& cell : Cells(options, numbering.requests)) {
    setup.fault = cell;
    CellResult result = RunIsolatedCell(setup);
    std::string request = DescribeRequest(numbering.requests[cell.number - 1]);
    const ExpectedFailure* expected = Expected(request, cell.kind);
    std::string name = "URB " + std::to_string(cell.number) + " (" + request + ") " + UrbFaultName(cell.kind);
    ++counts.cells;
    if (result.Ok()) {
      ++(expected ? counts.unexpectedPasses : counts.passed);
      if (expected) failures.push_back(name + ": listed as failing (" + expected->reason + "), but held");
    } else {
      ++(expected ? counts.expected : counts.failed);
      failures.push_back(FailureText(name, result, expected, options.verbose));
    }
    marks[cell.number][cell.kind] = Mark(result, expected != nullptr);
    if (options.verbose)
      out << name << ": " << CellEndName(result.end) << ", halt " << result.haltMs << " ms, " << result.urbs
          << " URBs\n";
  }
  PrintTable(numbering.requests, marks, out);
  for (const std::string& failure : failures) out << "\n" << failure << "\n";
  counts.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PrintSummary(counts, marks, out);
  return counts;
}

}  // namespace ecmemu
