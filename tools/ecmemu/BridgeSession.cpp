#include "tools/ecmemu/BridgeSession.h"

#include <signal.h>

#include <iostream>
#include <memory>

#include "emu/devices/EcmFunction.h"
#include "tools/ecmemu/AdapterSession.h"
#include "tools/ecmemu/BridgeReport.h"
#include "tools/ecmemu/DriverLife.h"

namespace ecmemu {
namespace {

constexpr timespec kStopPoll = {0, 200 * 1000 * 1000};  // how soon a failed TAP is noticed

constexpr uint32_t kEthernetHeader = 14;

// Directed, multicast and broadcast: what a stack needs for ARP, IPv4 and IPv6. Not
// promiscuous: the adapter's address is the station address the device filters directed
// frames by (the driver takes the device's own address when it has a valid one; without one
// the device has none to filter by), so the kernel gets its frames and no others.
constexpr uint32_t kPacketFilter = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;

// The device the bridge runs on: exactly one of model and real is set.
struct BridgeDevice {
  emu::usb::Bus& bus;
  emu::devices::EcmFunction* model;
  emu::realusb::RealDevice* real;
};

// Until SIGINT or SIGTERM, until a TAP fails under its reader, or until a real device goes.
void WaitForStop(const sigset_t& stopSignals, AdapterTap& adapterSide, WireTap* wireSide, const BridgeDevice& device,
                 BridgeReport& report) {
  for (;;) {
    if (sigtimedwait(&stopSignals, nullptr, &kStopPoll) > 0) return;
    if (adapterSide.readFailed()) report.failures.push_back("reading TAP " + report.tap + " failed");
    if (wireSide && wireSide->readFailed()) report.failures.push_back("reading TAP " + report.wireTap + " failed");
    if (device.real && device.real->gone()) report.failures.push_back("the USB device went away");
    if (!report.failures.empty()) return;
  }
}

// Both TAPs carry frames from Start to the halt. The TAP of the adapter's side carries the
// adapter's address, so the kernel's frames are addressed as the adapter's are; both take
// no frame longer than the adapter's largest.
void Carry(emu::ndis::Miniport& miniport, const BridgeDevice& device, const sigset_t& stopSignals,
           BridgeReport& report) {
  AdapterSession session(miniport);
  std::optional<Address> current = session.QueryAddress(OID_802_3_CURRENT_ADDRESS);
  std::optional<Address> permanent = session.QueryAddress(OID_802_3_PERMANENT_ADDRESS);
  report.maximumTotalSize = session.QueryUlong(OID_GEN_MAXIMUM_TOTAL_SIZE).value_or(0);
  if (!current || !permanent || report.maximumTotalSize <= kEthernetHeader) {
    report.failures.push_back("the adapter did not answer its addresses and maximum frame size");
    return;
  }
  report.currentAddress = AddressText(*current);
  report.permanentAddress = AddressText(*permanent);
  report.mtu = report.maximumTotalSize - kEthernetHeader;
  report.packetFilter = kPacketFilter;
  if (session.SetUlong(OID_GEN_CURRENT_PACKET_FILTER, report.packetFilter) != NDIS_STATUS_SUCCESS) {
    report.failures.push_back("the adapter refused the packet filter");
    return;
  }
  std::string error;
  std::unique_ptr<TapDevice> tap = TapDevice::Open(report.tap, TapSettings{*current, report.mtu}, &error);
  std::unique_ptr<TapDevice> wireTap =
      tap && device.model ? TapDevice::Open(report.wireTap, TapSettings{{}, report.mtu}, &error) : nullptr;
  if (!tap || (device.model && !wireTap)) {
    report.failures.push_back(error);
    return;
  }
  AdapterTap adapterSide(miniport, *tap);
  std::unique_ptr<WireTap> wireSide = device.model ? std::make_unique<WireTap>(*device.model, *wireTap) : nullptr;
  adapterSide.Start();
  if (wireSide) wireSide->Start();
  report.bridged = true;
  std::cerr << "ecmemu: bridging: TAP " << report.tap << " is the adapter (" << report.currentAddress.value() << "), "
            << (wireSide ? "TAP " + report.wireTap : std::string("the USB device's own wire")) << " the device's wire; MTU "
            << report.mtu << ". SIGINT or SIGTERM stops." << std::endl;
  WaitForStop(stopSignals, adapterSide, wireSide.get(), device, report);
  std::cerr << "ecmemu: stopping the bridge" << std::endl;
  adapterSide.StopReading();
  if (wireSide) wireSide->StopReading();
  report.counters = session.ReadCounters();
  if (device.real && device.real->gone()) miniport.PnPEvent(NdisDevicePnPEventSurpriseRemoved);
  // The halt completes what is still in the adapter and ends the transfers on the bus; after
  // it nothing is indicated and nothing reaches the wire, so the TAPs can be let go.
  miniport.Halt();
  adapterSide.Stop();
  if (wireSide) wireSide->Stop();
  report.adapterSide = adapterSide.counts();
  if (wireSide) report.wireSide = wireSide->counts();
}

// The driver's life: load, one adapter on the device, the bridge, halt, unload.
void Drive(const BridgeOptions& options, const BridgeDevice& device, const sigset_t& stopSignals,
           BridgeReport& report) {
  emu::ndis::Library library;
  AdapterStart start;
  std::string failure;
  emu::ndis::Miniport* miniport = StartAdapter(library, device.bus, options.params, &start, &failure);
  if (!miniport) {
    report.failures.push_back(failure);
    return;
  }
  report.initialized = start.initialized;
  report.initializeStatus = start.initializeStatus;
  report.errorLog = start.errorLog;
  if (report.initialized) {
    // A bridge runs for as long as its user likes: the library keeps no record per frame.
    miniport->RecordSendCompletions(false);
    miniport->protocol().recordFrames = false;
    Carry(*miniport, device, stopSignals, report);
    if (miniport->state() == emu::ndis::MiniportState::Running) miniport->Halt();
  } else {
    report.failures.push_back("the driver refused the device");
  }
  library.UnloadDriver();
}

// Blocked before the emulator starts its threads, so that every thread inherits the mask and
// the signals wait for sigtimedwait. A shell starts background commands with SIGINT ignored,
// and an ignored signal is never pending: the default disposition comes back.
sigset_t BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  return stopSignals;
}

int Finish(emu::Kernel& kernel, BridgeReport& report) {
  TakeFindings(kernel, "at the end of the bridge", &report.verifierViolations, &report.leaks);
  std::cout << ToText(report) << std::flush;
  return report.Ok() ? 0 : 1;
}

}  // namespace

std::string CheckBridgeOptions(const BridgeOptions& options) {
  if (!options.usbDevice.empty()) {
    if (!options.wireTap.empty()) return "--wire-tap is for the simulated device: a USB device has its own wire";
    if (!options.profilePath.empty()) return "--profile and --usb-device name two devices";
    return TapDevice::NameError(options.tap);
  }
  if (options.wireTap.empty()) return "--wire-tap is needed for the simulated device";
  if (options.tap == options.wireTap) return "--tap and --wire-tap must name two different interfaces";
  std::string error = TapDevice::NameError(options.tap);
  return error.empty() ? TapDevice::NameError(options.wireTap) : error;
}

int RunBridge(const BridgeOptions& options, const emu::devices::DeviceProfile& profile) {
  sigset_t stopSignals = BlockStopSignals();
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
    Drive(options, BridgeDevice{bus, &device, nullptr}, stopSignals, report);
    kernel.RunPending();
  }
  return Finish(kernel, report);
}

int RunRealBridge(const BridgeOptions& options, emu::realusb::RealDevice& device) {
  sigset_t stopSignals = BlockStopSignals();
  BridgeReport report;
  report.device = "USB device " + device.description();
  report.tap = options.tap;
  emu::Kernel kernel(emu::Mode::Threaded);
  {
    emu::usb::Bus bus(device);
    bus.RecordTransfers(false);
    device.SetOnGone([&bus] { bus.Unplug(); });
    Drive(options, BridgeDevice{bus, nullptr, &device}, stopSignals, report);
    kernel.RunPending();
    device.SetOnGone(nullptr);
    device.Close();
  }
  report.deviceNotes = device.notes();
  return Finish(kernel, report);
}

}  // namespace ecmemu
