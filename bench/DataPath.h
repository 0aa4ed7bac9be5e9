// The driver's data path on a device that answers every transfer as soon as it reaches it: the
// driver loaded on the deterministic emulator, one adapter running on the built-in device,
// its link up and its packet filter set. Each MoveFrame carries one frame of a fixed size
// through the whole driver one way, or out through the device's echo and back, and runs the
// system until the frame has arrived. Nothing is recorded per frame, so a run of millions of
// frames stays flat.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu/devices/EcmFunction.h"
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"
#include "emu/ndis/Protocol.h"
#include "emu/usb/Bus.h"
#include "tools/ecmemu/AdapterSession.h"

enum class Direction { Transmit, Receive, RoundTrip };

const char* DirectionName(Direction direction);

class DataPath {
 public:
  DataPath(Direction direction, uint32_t frameSize);
  ~DataPath();
  DataPath(const DataPath&) = delete;
  DataPath& operator=(const DataPath&) = delete;

  // Why the adapter is not ready for frames; empty when it is.
  const std::string& failure() const { return failure_; }
  // False when the frame did not arrive whole where it was going.
  bool MoveFrame();

  // Halts the adapter and unloads the driver (once); the verifier's violations and the leaks.
  std::vector<std::string> Close();

  emu::Kernel& kernel() { return kernel_; }

 private:
  void BringUp();
  void OnWire(const emu::devices::Bytes& frame);
  void OnFrame(const emu::ndis::ReceivedFrame& frame);

  Direction direction_;
  uint32_t frameSize_;
  emu::Kernel kernel_;  // first: every object below lives on it, and is gone before its checks
  std::unique_ptr<emu::devices::EcmFunction> device_;
  std::unique_ptr<emu::usb::Bus> bus_;
  std::unique_ptr<emu::ndis::Library> library_;
  emu::ndis::Miniport* miniport_ = nullptr;
  std::unique_ptr<ecmemu::AdapterSession> session_;
  std::unique_ptr<emu::ndis::ProtocolPacket> outbound_;
  std::vector<PNDIS_PACKET> batch_;
  std::vector<UCHAR> inbound_;
  std::string failure_;
  bool closed_ = false;
  // Counted where the frames arrive; a frame of another size is not counted.
  uint64_t completed_ = 0;
  uint64_t heard_ = 0;
  uint64_t indicated_ = 0;
};
