#include "tools/ecmemu/BridgeReport.h"

#include <platform.h>

#include <sstream>

namespace ecmemu {
namespace {

std::string FilterNames(uint32_t filter) {
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

std::string Written(const TapWriterCounts& counts, const std::string& tap) {
  return std::to_string(counts.written) + " written to " + tap + " (" + std::to_string(counts.dropped) +
         " dropped with the write queue full, " + std::to_string(counts.refused) + " refused by the kernel)";
}

}  // namespace

std::string ToText(const BridgeReport& r) {
  std::ostringstream out;
  out << "ecmemu bridge: the cdcecm driver on the " << r.device << " device, between TAP " << r.tap
      << " and the device's wire on TAP " << r.wireTap << " (threaded)\n\n";
  out << "Initialization: " << (r.initialized ? "succeeded" : "FAILED with status " + Hex32(r.initializeStatus))
      << "\n";
  for (const ErrorLogLine& e : r.errorLog)
    out << "  error log " << Hex32(e.code) << ": " << DescribeErrorLogEntry(e) << "\n";
  if (r.initialized) {
    out << "  current address " << r.currentAddress.value_or("?") << " (permanent " << r.permanentAddress.value_or("?")
        << "), maximum frame " << r.maximumTotalSize << " bytes, TAP MTU " << r.mtu << "\n"
        << "  packet filter " << FilterNames(r.packetFilter) << "\n";
  }
  if (r.bridged) {
    const AdapterTapCounts& a = r.adapterSide;
    const WireTapCounts& w = r.wireSide;
    out << "\n"
        << r.tap << " -> driver -> " << r.wireTap << ": " << a.read << " frames sent to the adapter, " << a.completed
        << " completed (" << a.failed << " failed), " << w.fromDriver << " reached the wire, "
        << Written(w.written, r.wireTap) << "\n";
    out << r.wireTap << " -> driver -> " << r.tap << ": " << w.read << " frames from the wire, " << w.delivered
        << " taken by the device (" << w.refused << " dropped by it), " << a.indicated << " indicated, "
        << Written(a.written, r.tap) << "\n";
    out << "Counters: XmitOk " << r.counters.xmitOk << ", XmitError " << r.counters.xmitError << ", RcvOk "
        << r.counters.rcvOk << ", RcvError " << r.counters.rcvError << ", RcvNoBuffer " << r.counters.rcvNoBuffer
        << "\n";
  }
  for (const std::string& f : r.failures) out << "Failed: " << f << "\n";
  out << "\nVerifier: " << (r.verifierViolations.empty() ? "no violation" : "VIOLATIONS") << "\n";
  for (const std::string& v : r.verifierViolations) out << "  " << v << "\n";
  out << "Leaks: " << (r.leaks.empty() ? "none" : "FOUND") << "\n";
  for (const std::string& l : r.leaks) out << "  " << l << "\n";
  out << "\nResult: " << (r.Ok() ? "OK" : "FAILED") << "\n";
  return out.str();
}

}  // namespace ecmemu
