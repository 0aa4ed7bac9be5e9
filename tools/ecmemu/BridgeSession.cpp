#include "tools/ecmemu/BridgeSession.h"

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "emu/devices/EcmFunction.h"
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/BridgeReport.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace ecmemu {
namespace {

using Address = std::array<uint8_t, 6>;

constexpr timespec kStopPoll = {0, 200 * 1000 * 1000};  // how soon a failed TAP is noticed

std::string AddressText(const Address& address) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", address[0], address[1], address[2], address[3],
                address[4], address[5]);
  return text;
}

std::vector<UCHAR> Query(emu::ndis::Miniport& miniport, NDIS_OID oid, size_t size) {
  std::vector<UCHAR> buffer(size);
  ULONG written = 0, needed = 0;
  if (miniport.QueryInformation(oid, buffer, &written, &needed) != NDIS_STATUS_SUCCESS) return {};
  buffer.resize(written);
  return buffer;
}

uint32_t QueryUlong(emu::ndis::Miniport& miniport, NDIS_OID oid) {
  std::vector<UCHAR> value = Query(miniport, oid, sizeof(ULONG));
  ULONG result = 0;
  if (value.size() == sizeof result) std::memcpy(&result, value.data(), sizeof result);
  return result;
}

Address QueryAddress(emu::ndis::Miniport& miniport, NDIS_OID oid) {
  std::vector<UCHAR> value = Query(miniport, oid, 6);
  Address address{};
  if (value.size() == address.size()) std::copy(value.begin(), value.end(), address.begin());
  return address;
}

void ReadCounters(emu::ndis::Miniport& miniport, Counters& counters) {
  counters.xmitOk = QueryUlong(miniport, OID_GEN_XMIT_OK);
  counters.xmitError = QueryUlong(miniport, OID_GEN_XMIT_ERROR);
  counters.rcvOk = QueryUlong(miniport, OID_GEN_RCV_OK);
  counters.rcvError = QueryUlong(miniport, OID_GEN_RCV_ERROR);
  counters.rcvNoBuffer = QueryUlong(miniport, OID_GEN_RCV_NO_BUFFER);
}

// Directed, multicast and broadcast: what a stack needs for ARP, IPv4 and IPv6. Not
// promiscuous: the adapter's address is the station address the device filters directed
// frames by (the driver takes the device's own address when it has a valid one; without one
// the device has none to filter by), so the kernel gets its frames and no others.
constexpr uint32_t kPacketFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;

// Until SIGINT or SIGTERM, or until a TAP fails under its reader.
void WaitForStop(const sigset_t& stopSignals, AdapterTap& adapterSide, WireTap& wireSide, BridgeReport& report) {
  for (;;) {
    if (sigtimedwait(&stopSignals, nullptr, &kStopPoll) > 0) return;
    if (adapterSide.readFailed()) report.failures.push_back("reading TAP " + report.tap + " failed");
    if (wireSide.readFailed()) report.failures.push_back("reading TAP " + report.wireTap + " failed");
    if (!report.failures.empty()) return;
  }
}

// Both TAPs carry frames from Start to the halt. The TAP of the adapter's side carries the
// adapter's address, so the kernel's frames are addressed as the adapter's are; both take
// no frame longer than the adapter's largest.
void Carry(emu::ndis::Miniport& miniport, emu::devices::EcmFunction& device, const sigset_t& stopSignals,
           BridgeReport& report) {
  Address current = QueryAddress(miniport, OID_802_3_CURRENT_ADDRESS);
  report.currentAddress = AddressText(current);
  report.permanentAddress = AddressText(QueryAddress(miniport, OID_802_3_PERMANENT_ADDRESS));
  report.maximumTotalSize = QueryUlong(miniport, OID_GEN_MAXIMUM_TOTAL_SIZE);
  report.mtu = report.maximumTotalSize - 14;
  report.packetFilter = kPacketFilter;
  std::vector<UCHAR> filter(sizeof(ULONG));
  std::memcpy(filter.data(), &report.packetFilter, sizeof(ULONG));
  ULONG read = 0, needed = 0;
  if (miniport.SetInformation(OID_GEN_CURRENT_PACKET_FILTER, filter, &read, &needed) != NDIS_STATUS_SUCCESS) {
    report.failures.push_back("the adapter refused the packet filter");
    return;
  }
  std::string error;
  std::unique_ptr<TapDevice> tap = TapDevice::Open(report.tap, TapSettings{current, report.mtu}, &error);
  std::unique_ptr<TapDevice> wireTap =
      tap ? TapDevice::Open(report.wireTap, TapSettings{{}, report.mtu}, &error) : nullptr;
  if (!wireTap) {
    report.failures.push_back(error);
    return;
  }
  AdapterTap adapterSide(miniport, *tap);
  WireTap wireSide(device, *wireTap);
  adapterSide.Start();
  wireSide.Start();
  report.bridged = true;
  std::cerr << "ecmemu: bridging: TAP " << report.tap << " is the adapter (" << report.currentAddress.value()
            << "), TAP " << report.wireTap << " the device's wire; MTU " << report.mtu << ". SIGINT or SIGTERM stops."
            << std::endl;
  WaitForStop(stopSignals, adapterSide, wireSide, report);
  std::cerr << "ecmemu: stopping the bridge" << std::endl;
  adapterSide.StopReading();
  wireSide.StopReading();
  ReadCounters(miniport, report.counters);
  // The halt completes what is still in the adapter and ends the transfers on the bus; after
  // it nothing is indicated and nothing reaches the wire, so the TAPs can be let go.
  miniport.Halt();
  adapterSide.Stop();
  wireSide.Stop();
  report.adapterSide = adapterSide.counts();
  report.wireSide = wireSide.counts();
}

// The driver's life: load, one adapter on the device, the bridge, halt, unload.
void Drive(const BridgeOptions& options, emu::devices::EcmFunction& device, emu::usb::Bus& bus,
           const sigset_t& stopSignals, BridgeReport& report) {
  emu::ndis::Library library;
  NTSTATUS loaded = library.LoadDriver(DriverEntry);
  if (!NT_SUCCESS(loaded)) {
    report.failures.push_back("DriverEntry failed with " + Hex32(static_cast<uint32_t>(loaded)));
    return;
  }
  emu::ndis::Miniport& miniport = library.AddMiniport();
  miniport.deviceStack().physical = bus.Pdo();
  miniport.deviceStack().lower = bus.Pdo();
  for (const auto& [name, value] : options.params)
    miniport.registry().SetString(name, std::u16string(value.begin(), value.end()));
  // A bridge runs for as long as its user likes: the library keeps no record per frame.
  miniport.RecordSendCompletions(false);
  miniport.protocol().recordFrames = false;

  NDIS_STATUS status = miniport.Initialize();
  report.initializeStatus = static_cast<uint32_t>(status);
  for (const emu::ndis::ErrorLogEntry& entry : miniport.errorLog())
    report.errorLog.push_back({entry.code, std::vector<uint32_t>(entry.values.begin(), entry.values.end())});
  report.initialized = status == NDIS_STATUS_SUCCESS;
  if (report.initialized) {
    Carry(miniport, device, stopSignals, report);
    if (miniport.state() == emu::ndis::MiniportState::Running) miniport.Halt();
  } else {
    report.failures.push_back("the driver refused the device");
  }
  library.UnloadDriver();
}

}  // namespace

std::string CheckBridgeOptions(const BridgeOptions& options) {
  if (options.tap == options.wireTap) return "--tap and --wire-tap must name two different interfaces";
  std::string error = TapDevice::NameError(options.tap);
  return error.empty() ? TapDevice::NameError(options.wireTap) : error;
}

int RunBridge(const BridgeOptions& options, const emu::devices::DeviceProfile& profile) {
  // Blocked before the emulator starts its threads, so that every thread inherits the mask
  // and the signals wait for sigtimedwait. A shell starts background commands with SIGINT
  // ignored, and an ignored signal is never pending: the default disposition comes back.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);

  BridgeReport report;
  report.device = options.profilePath.empty() ? "built-in" : options.profilePath;
  report.tap = options.tap;
  report.wireTap = options.wireTap;
  emu::Kernel kernel(emu::Mode::Threaded);
  {
    emu::devices::EcmFunction device(profile);
    device.RecordHostFrames(false);
    emu::usb::Bus bus(device);
    bus.RecordTransfers(false);
    Drive(options, device, bus, stopSignals, report);
    kernel.RunPending();
  }
  kernel.CheckClean("at the end of the bridge");
  kernel.Shutdown();
  for (const emu::Violation& v : kernel.verifier().Take())
    (v.rule == "leak" ? report.leaks : report.verifierViolations).push_back(v.ToString());
  std::cout << ToText(report) << std::flush;
  return report.Ok() ? 0 : 1;
}

}  // namespace ecmemu
