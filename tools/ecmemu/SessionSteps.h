// What a session does with an initialized adapter, step by step, as NDIS, a protocol and the
// device's owner would: packet filter, link, traffic through the device's wire, a link flap,
// a speed change, a power cycle with frames waiting, a reset with frames queued, or a surprise
// removal in the middle of the traffic. Each step says in the report what happened, and why
// the run failed when a check did not hold. A real device decides its own link and speed, so
// those steps are the simulated device's only; its removal is done by whoever holds it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "emu/capture/UsbCapture.h"
#include "emu/devices/EcmFunction.h"
#include "emu/realusb/RealDevice.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/AdapterSession.h"
#include "tools/ecmemu/Options.h"
#include "tools/ecmemu/ProgressLine.h"
#include "tools/ecmemu/Report.h"
#include "tools/ecmemu/TrafficRun.h"

namespace ecmemu {

// The device a session runs against: exactly one of model and real is set.
struct SessionDevice {
  emu::usb::Bus& bus;
  const emu::devices::DeviceProfile& profile;
  emu::devices::EcmFunction* model;  // simulated: the session steers its link and wire
  emu::realusb::RealDevice* real;
};

class SessionSteps {
 public:
  SessionSteps(const RunOptions& options, emu::ndis::Miniport& miniport, const SessionDevice& device,
               emu::capture::EthernetCapture* ethernet, ProgressLine& progress, Report& report);
  ~SessionSteps();

  // Everything between a successful initialization and the halt.
  void Run();
  // Once the adapter is halted: the frames' account, and that every packet was completed.
  void AfterHalt();
  // Whether frames sent now go through the device's wire and come back (or are kept back by
  // the device's own packet filter), after whatever the session went through.
  bool TrafficResumes(uint32_t frames);
  // MiniportReset, waited for when it pends: its status, or none when it never completes.
  std::optional<NDIS_STATUS> ResetAdapter();
  // Sets the device power state and waits for the pended set to complete; false, with the
  // reason among the failed checks, when it failed.
  bool SetPower(ULONG state);

 private:
  void ReadAdapter();
  // Builds the traffic run once the adapter has told its address; false when it cannot carry frames.
  bool StartTraffic();
  void SetPacketFilter();
  void WaitForLink();
  void Stream(uint32_t count);
  void FlapLink();
  void ChangeSpeed();
  void PowerCycle(uint32_t waiting);
  void ResetWithQueue(uint32_t queued);
  void RemoveDuringTraffic(uint32_t count);
  // Streams until the real device is gone; false when it stayed for the whole bound.
  bool StreamUntilGone();
  void IndicateRemoval();
  // The ECM filter bitmaps the device acknowledged, in order.
  std::vector<uint16_t> PacketFilterRequests();
  void ReadCounters();
  bool Drain(const std::string& when);
  // False, with the traffic marked stalled and the reason recorded, when nothing moved.
  bool Moved(bool moved, const std::string& otherwise);
  void Step(const std::string& what) { report_.steps.push_back(what); }
  void Fail(const std::string& why) { report_.failedChecks.push_back(why); }

  const RunOptions& options_;
  AdapterSession session_;
  SessionDevice device_;
  emu::usb::Bus& bus_;
  emu::capture::EthernetCapture* ethernet_;
  ProgressLine& progress_;
  Report& report_;
  std::unique_ptr<TrafficRun> traffic_;
  bool stalled_ = false;
  bool removalIndicated_ = false;
};

}  // namespace ecmemu
