// The adapter's protocol side bound to a TAP interface: frames the kernel sends on the TAP go
// to MiniportSendPackets, frames the driver indicates are written to the TAP.
//
// Flow control: at most kSendWindow packets are in the adapter at once; the reader waits for
// send completions to release room, so the TAP's own queue (and the kernel's stack behind
// it) feels the back-pressure rather than a queue here growing without limit.
#pragma once

#include <platform.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "emu/ndis/Miniport.h"
#include "tools/ecmemu/TapPort.h"

namespace ecmemu {

struct AdapterTapCounts {
  uint64_t read = 0;        // frames the kernel sent on the TAP, each handed to the adapter
  uint64_t completed = 0;   // send completions
  uint64_t failed = 0;      // of those, with a failure status
  uint64_t indicated = 0;   // frames the driver indicated
  TapWriterCounts written;  // what became of the indicated frames
};

class AdapterTap : public TapPort {
 public:
  static constexpr size_t kSendWindow = 64;

  AdapterTap(emu::ndis::Miniport& miniport, TapDevice& tap) : TapPort(tap), miniport_(miniport) {}
  ~AdapterTap();

  // Takes the protocol's completions and indications and starts reading the TAP. Before any
  // frame can reach the adapter: the protocol's handlers are set while nothing calls them.
  void Start();
  // Once the adapter is halted (nothing is in it, nothing more is indicated): lets go of
  // the protocol and stops writing.
  void Stop();
  AdapterTapCounts counts();

 private:
  bool WaitForRoom() override;
  // What the kernel has queued goes as one batch, as NDIS hands a miniport several packets.
  void Take(std::vector<uint8_t>& frame) override;
  void OnStopping() override { room_.notify_all(); }
  void OnSendComplete(PNDIS_PACKET packet, NDIS_STATUS status);

  emu::ndis::Miniport& miniport_;
  std::atomic<uint64_t> indicated_{0};
  std::mutex mutex_;  // guards the packets and counts below; never held across a call into the adapter
  std::condition_variable room_;
  std::map<PNDIS_PACKET, std::unique_ptr<emu::ndis::ProtocolPacket>> inAdapter_;
  // Completed packets wait here to be freed by the reader: a completion only moves them.
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> completed_;
  uint64_t read_ = 0;
  uint64_t completions_ = 0;
  uint64_t failures_ = 0;
};

}  // namespace ecmemu
