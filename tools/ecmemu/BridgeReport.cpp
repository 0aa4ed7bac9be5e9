#include "tools/ecmemu/BridgeReport.h"

#include <sstream>

namespace ecmemu {
namespace {

std::string Written(const TapWriterCounts& counts, const std::string& tap) {
  return std::to_string(counts.written) + " written to " + tap + " (" + std::to_string(counts.dropped) +
         " dropped with the write queue full, " + std::to_string(counts.refused) + " refused by the kernel)";
}

}  // namespace

std::string ToText(const BridgeReport& r) {
  std::ostringstream out;
  if (r.wireTap.empty())
    out << "ecmemu bridge: the cdcecm driver on the " << r.device << ", between TAP " << r.tap
        << " and the device's own wire (threaded)\n\n";
  else
    out << "ecmemu bridge: the cdcecm driver on the " << r.device << " device, between TAP " << r.tap
        << " and the device's wire on TAP " << r.wireTap << " (threaded)\n\n";
  out << "Initialization: " << (r.initialized ? "succeeded" : "FAILED with status " + Hex32(r.initializeStatus))
      << "\n";
  for (const ErrorLogLine& e : r.errorLog) out << "  error log " << ErrorLogText(e) << "\n";
  if (r.initialized) {
    out << "  current address " << r.currentAddress.value_or("?") << " (permanent " << r.permanentAddress.value_or("?")
        << "), maximum frame " << r.maximumTotalSize << " bytes, TAP MTU " << r.mtu << "\n"
        << "  packet filter " << PacketFilterText(r.packetFilter) << "\n";
  }
  if (r.bridged && r.wireTap.empty()) {
    const AdapterTapCounts& a = r.adapterSide;
    out << "\n"
        << r.tap << " -> driver -> device: " << a.read << " frames sent to the adapter, " << a.completed
        << " completed (" << a.failed << " failed)\n"
        << "device -> driver -> " << r.tap << ": " << a.indicated << " indicated, " << Written(a.written, r.tap) << "\n"
        << "Counters: " << CountersText(r.counters) << "\n";
  } else if (r.bridged) {
    const AdapterTapCounts& a = r.adapterSide;
    const WireTapCounts& w = r.wireSide;
    out << "\n"
        << r.tap << " -> driver -> " << r.wireTap << ": " << a.read << " frames sent to the adapter, " << a.completed
        << " completed (" << a.failed << " failed), " << w.fromDriver << " reached the wire, "
        << Written(w.written, r.wireTap) << "\n";
    out << r.wireTap << " -> driver -> " << r.tap << ": " << w.read << " frames from the wire, " << w.delivered
        << " taken by the device (" << w.refused << " dropped by it), " << a.indicated << " indicated, "
        << Written(a.written, r.tap) << "\n";
    out << "Counters: " << CountersText(r.counters) << "\n";
  }
  for (const std::string& note : r.deviceNotes) out << "USB device: " << note << "\n";
  for (const std::string& f : r.failures) out << "Failed: " << f << "\n";
  out << "\n" << FindingsText(r.verifierViolations, r.leaks);
  out << "\nResult: " << (r.Ok() ? "OK" : "FAILED") << "\n";
  return out.str();
}

}  // namespace ecmemu
