// The device's wire bound to a TAP interface: frames the driver sends out of the device are
// written to the TAP, frames the kernel sends on the TAP arrive at the device from its wire.
//
// Flow control: the device queues what its wire brings until the driver reads it; the reader
// lets at most kDeviceQueue frames wait there and otherwise leaves them in the TAP's queue.
#pragma once

#include <atomic>
#include <cstdint>

#include "emu/devices/EcmFunction.h"
#include "tools/ecmemu/TapPort.h"

namespace ecmemu {

struct WireTapCounts {
  uint64_t fromDriver = 0;  // frames the device sent onto its wire
  TapWriterCounts written;  // what became of them
  uint64_t read = 0;        // frames the kernel sent on the TAP
  uint64_t delivered = 0;   // of those, taken by the device towards the driver
  uint64_t refused = 0;     // dropped by the device: its packet filter, its link, its data interface
};

class WireTap : public TapPort {
 public:
  static constexpr size_t kDeviceQueue = 64;

  WireTap(emu::devices::EcmFunction& device, TapDevice& tap) : TapPort(tap), device_(device) {}
  ~WireTap();

  void Start();  // connects the wire, starts reading the TAP
  // Once the driver is halted (no write is on the bus): disconnects the wire, stops writing.
  void Stop();
  WireTapCounts counts();

 private:
  // Until the device's queue towards the driver has room.
  bool WaitForRoom() override;
  void Take(std::vector<uint8_t>& frame) override;

  emu::devices::EcmFunction& device_;
  std::atomic<uint64_t> fromDriver_{0};
  std::atomic<uint64_t> read_{0};
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> refused_{0};
};

}  // namespace ecmemu
