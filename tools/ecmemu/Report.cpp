#include "tools/ecmemu/Report.h"

#include <platform.h>

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

std::string ErrorLogText(const ErrorLogLine& entry) {
  std::string text = Hex32(entry.code);
  for (uint32_t v : entry.values) text += " " + std::to_string(v);
  return text + ": " + DescribeErrorLogEntry(entry);
}

std::string PacketFilterText(uint32_t filter) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{NDIS_PACKET_TYPE_DIRECTED, "directed"},
                {NDIS_PACKET_TYPE_MULTICAST, "multicast"},
                {NDIS_PACKET_TYPE_ALL_MULTICAST, "all multicast"},
                {NDIS_PACKET_TYPE_BROADCAST, "broadcast"},
                {NDIS_PACKET_TYPE_PROMISCUOUS, "promiscuous"}};
  std::string names;
  for (const auto& entry : kNames)
    if (filter & entry.bit) names += (names.empty() ? "" : ", ") + std::string(entry.name);
  return names + " (" + Hex32(filter) + ")";
}

std::string CountersText(const Counters& c) {
  return "XmitOk " + std::to_string(c.xmitOk) + ", XmitError " + std::to_string(c.xmitError) + ", RcvOk " +
         std::to_string(c.rcvOk) + ", RcvError " + std::to_string(c.rcvError) + ", RcvNoBuffer " +
         std::to_string(c.rcvNoBuffer);
}

std::string FindingsText(const std::vector<std::string>& violations, const std::vector<std::string>& leaks) {
  std::string text = std::string("Verifier: ") + (violations.empty() ? "no violation" : "VIOLATIONS") + "\n";
  for (const std::string& v : violations) text += "  " + v + "\n";
  text += std::string("Leaks: ") + (leaks.empty() ? "none" : "FOUND") + "\n";
  for (const std::string& l : leaks) text += "  " + l + "\n";
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

namespace {

double BitsPerSecond(uint64_t bytes, double seconds) { return seconds > 0 ? static_cast<double>(bytes) * 8 / seconds : 0; }

nlohmann::ordered_json BusJson(const std::optional<BusGoodput>& bus) {
  if (!bus) return nullptr;
  return {{"speed", bus->speed},
          {"virtual_seconds", bus->seconds},
          {"to_device_bits_per_second", BitsPerSecond(bus->bytesToDevice, bus->seconds)},
          {"from_device_bits_per_second", BitsPerSecond(bus->bytesFromDevice, bus->seconds)},
          {"limit_bits_per_second", bus->limitBitsPerSecond}};
}

}  // namespace

nlohmann::ordered_json ToJson(const Report& r) {
  using json = nlohmann::ordered_json;
  json log = json::array();
  for (const ErrorLogLine& e : r.errorLog) log.push_back({{"code", Hex32(e.code)}, {"values", e.values}});
  auto optional = [](const std::optional<std::string>& v) { return v ? json(*v) : json(nullptr); };
  double perSecond = r.trafficSeconds > 0 ? static_cast<double>(r.frames.verified) / r.trafficSeconds : 0;
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
        {"merged_on_device", r.frames.mergedOnDevice},
        {"truncated_on_device", r.frames.truncatedOnDevice},
        {"reached_device", r.frames.reachedDevice},
        {"flushed_by_reset", r.frames.flushedByReset},
        {"dropped_by_reset", r.frames.droppedByReset},
        {"cut_by_removal", r.frames.cutByRemoval},
        {"other", r.frames.other}}},
      {"counters",
       {{"XmitOk", r.counters.xmitOk},
        {"XmitError", r.counters.xmitError},
        {"RcvOk", r.counters.rcvOk},
        {"RcvError", r.counters.rcvError},
        {"RcvNoBuffer", r.counters.rcvNoBuffer}}},
      {"maximum_lookahead", r.maximumLookahead},
      {"traffic_seconds", r.trafficSeconds},
      {"round_trips_per_second", perSecond},
      {"bus_timing", BusJson(r.bus)},
      {"steps", r.steps},
      {"failed_checks", r.failedChecks},
      {"verifier_violations", r.verifierViolations},
      {"leaks", r.leaks},
  };
}

std::string ToText(const Report& r) {
  std::ostringstream out;
  out << "ecmemu run: the cdcecm driver with the " << r.device << " device, on the " << r.mode << " emulator\n\n";
  out << "Adapter\n";
  out << "  initialized          "
      << (r.initialized ? "yes" : "NO: MiniportInitialize failed with " + Hex32(r.initializeStatus)) << "\n";
  out << "  error log            " << (r.errorLog.empty() ? "empty" : "") << "\n";
  for (const ErrorLogLine& e : r.errorLog) out << "    " << ErrorLogText(e) << "\n";
  out << "  configuration        index " << r.configurationIndex << "\n";
  if (r.initialized) {
    out << "  permanent address    " << r.permanentAddress.value_or("(not answered)") << "\n"
        << "  current address      " << r.currentAddress.value_or("(not answered)") << "\n"
        << "  maximum frame        " << r.maximumTotalSize << " bytes (lookahead " << r.maximumLookahead << ")\n"
        << "  link at the end      " << (r.mediaConnected ? "connected" : "disconnected") << ", "
        << r.linkSpeed / 10000 << " Mbit/s (OID_GEN_LINK_SPEED " << r.linkSpeed << ")\n";
    out << "  packet filters the device received:";
    for (uint16_t f : r.packetFilterRequests) out << " 0x" << Hex32(f).substr(6);
    if (r.packetFilterRequests.empty()) out << " none";
    out << "\n";
  }
  out << "\nSession\n";
  for (const std::string& s : r.steps) out << "  " << s << "\n";
  if (r.initialized) {
    const FrameCounts& f = r.frames;
    out << "\nFrames (each numbered; the device's wire answers each one it gets with the same number)\n"
        << "  " << f.sent << " sent, " << f.reachedDevice << " reached the device, " << f.verified
        << " came back whole (" << f.received << " received)\n";
    if (f.flushedByReset) out << "  " << f.flushedByReset << " completed by the reset without being sent, as a reset does\n";
    if (f.droppedByReset)
      out << "  " << f.droppedByReset << " answered while the reset closed the pipes, dropped with the aborted reads\n";
    if (f.cutByRemoval) out << "  " << f.cutByRemoval << " in flight at the surprise removal or sent after it\n";
    if (f.other) out << "  " << f.other << " other frames, not the session's (the far end's own), counted apart\n";
    out << "  " << f.lost << " lost, " << f.duplicated << " duplicated, " << f.reordered << " reordered, "
        << f.corrupted << " corrupted, " << f.mergedOnDevice << " merged and " << f.truncatedOnDevice
        << " truncated on the device\n";
    if (r.trafficSeconds > 0) {
      char rate[96];
      std::snprintf(rate, sizeof rate, "  %.2f s of streaming, %.0f round trips per second\n", r.trafficSeconds,
                    static_cast<double>(f.verified) / r.trafficSeconds);
      out << rate;
    }
    if (r.bus && r.bus->seconds > 0) {
      char rate[256];
      std::snprintf(rate, sizeof rate,
                    "  on a %s-speed bus: %.1f Mbit/s to the device, %.1f Mbit/s from it, in %.1f ms of virtual "
                    "time; the bus carries at most %.1f Mbit/s of bulk payload, both ways together\n",
                    r.bus->speed.c_str(), BitsPerSecond(r.bus->bytesToDevice, r.bus->seconds) / 1e6,
                    BitsPerSecond(r.bus->bytesFromDevice, r.bus->seconds) / 1e6, r.bus->seconds * 1000,
                    r.bus->limitBitsPerSecond / 1e6);
      out << rate;
    }
    out << "\nCounters\n  " << CountersText(r.counters) << "\n";
  }
  out << "\n" << FindingsText(r.verifierViolations, r.leaks);
  out << "\nResult: " << (r.Ok() ? "OK, every check held" : "FAILED") << "\n";
  for (const std::string& c : r.failedChecks) out << "  - " << c << "\n";
  if (!r.verifierViolations.empty()) out << "  - the verifier caught the driver\n";
  if (!r.leaks.empty()) out << "  - something was left allocated or pending\n";
  return out.str();
}

}  // namespace ecmemu
