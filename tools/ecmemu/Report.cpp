#include "tools/ecmemu/Report.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

namespace ecmemu {

bool Report::Ok() const {
  return initialized && failedChecks.empty() && verifierViolations.empty() && leaks.empty();
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string DescribeErrorLogEntry(const ErrorLogLine& entry) {
  switch (entry.code) {
    case 0xC0010019: return "the medium array offered no 802.3 medium";
    case 0xE0070301: return "no memory for the adapter";
    case 0xE0070302: return "the adapter's registry configuration could not be opened";
    case 0xE0070303: break;
    default: return "unknown entry";
  }
  if (entry.values.empty()) return "bring-up failed";
  switch (entry.values[0]) {
    case 1: return "no ECM communication interface (class 2, subclass 6, protocol 0) in the configuration, "
                   "or no memory for the device";
    case 2: return "the device could not be brought up";
    case 3: return "reading the configuration descriptor failed";
    case 4: return "NDIS gave no physical, functional or next-lower device object";
    case 5: return "the ECM function could not be started (first interface, Ethernet descriptor, "
                   "selection or pipes)";
    case 6: return "the device's maximum segment size (" +
                   std::to_string(entry.values.size() > 1 ? entry.values[1] : 0) + ") is 14 or less";
    default: return "bring-up step " + std::to_string(entry.values[0]) + " failed";
  }
}

nlohmann::ordered_json ToJson(const Report& r) {
  using json = nlohmann::ordered_json;
  json log = json::array();
  for (const ErrorLogLine& e : r.errorLog) log.push_back({{"code", Hex32(e.code)}, {"values", e.values}});
  auto optional = [](const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); };
  return json{
      {"ok", r.Ok()},
      {"device", r.device},
      {"mode", r.mode},
      {"initialized", r.initialized},
      {"initialize_status", Hex32(r.initializeStatus)},
      {"error_log", log},
      {"configuration_index", r.configurationIndex},
      {"permanent_address", optional(r.permanentAddress)},
      {"current_address", optional(r.currentAddress)},
      {"maximum_total_size", r.maximumTotalSize},
      {"media_connected", r.mediaConnected},
      {"link_speed", r.linkSpeed},
      {"packet_filter_requests", r.packetFilterRequests},
      {"frames",
       {{"sent", r.frames.sent},
        {"received", r.frames.received},
        {"verified", r.frames.verified},
        {"lost", r.frames.lost},
        {"duplicated", r.frames.duplicated},
        {"reordered", r.frames.reordered},
        {"corrupted", r.frames.corrupted},
        {"merged_on_device", r.frames.mergedOnDevice}}},
      {"counters",
       {{"XmitOk", r.counters.xmitOk},
        {"XmitError", r.counters.xmitError},
        {"RcvOk", r.counters.rcvOk},
        {"RcvError", r.counters.rcvError},
        {"RcvNoBuffer", r.counters.rcvNoBuffer}}},
      {"steps", r.steps},
      {"failed_checks", r.failedChecks},
      {"verifier_violations", r.verifierViolations},
      {"leaks", r.leaks},
  };
}

std::string ToText(const Report& r) {
  std::ostringstream out;
  out << "ecmemu: the cdcecm driver against the " << r.device << " device (" << r.mode << ")\n\n";
  out << "Initialization: " << (r.initialized ? "succeeded" : "FAILED with status " + Hex32(r.initializeStatus))
      << "\n";
  for (const ErrorLogLine& e : r.errorLog) {
    out << "  error log " << Hex32(e.code);
    for (uint32_t v : e.values) out << " " << v;
    out << ": " << DescribeErrorLogEntry(e) << "\n";
  }
  if (r.initialized) {
    out << "  configuration index " << r.configurationIndex << ", maximum frame " << r.maximumTotalSize
        << " bytes\n"
        << "  permanent address " << r.permanentAddress.value_or("?") << ", current address "
        << r.currentAddress.value_or("?") << "\n"
        << "  link " << (r.mediaConnected ? "connected" : "disconnected") << " at "
        << r.linkSpeed / 10000.0 << " Mbit/s\n";
    out << "  packet filter requests seen by the device:";
    for (uint16_t f : r.packetFilterRequests) out << " " << Hex32(f).substr(6);
    out << "\n\nFrames: " << r.frames.sent << " sent, " << r.frames.received << " received, "
        << r.frames.verified << " verified; " << r.frames.lost << " lost, " << r.frames.duplicated
        << " duplicated, " << r.frames.reordered << " reordered, " << r.frames.corrupted << " corrupted, "
        << r.frames.mergedOnDevice << " merged on the device\n";
    out << "Counters: XmitOk " << r.counters.xmitOk << ", XmitError " << r.counters.xmitError << ", RcvOk "
        << r.counters.rcvOk << ", RcvError " << r.counters.rcvError << ", RcvNoBuffer "
        << r.counters.rcvNoBuffer << "\n";
  }
  out << "\nSteps:\n";
  for (const std::string& s : r.steps) out << "  " << s << "\n";
  out << "\nVerifier: " << (r.verifierViolations.empty() ? "no violation" : "VIOLATIONS") << "\n";
  for (const std::string& v : r.verifierViolations) out << "  " << v << "\n";
  out << "Leaks: " << (r.leaks.empty() ? "none" : "FOUND") << "\n";
  for (const std::string& l : r.leaks) out << "  " << l << "\n";
  for (const std::string& c : r.failedChecks) out << "Check failed: " << c << "\n";
  out << "\nResult: " << (r.Ok() ? "OK" : "FAILED") << "\n";
  return out.str();
}

}  // namespace ecmemu
