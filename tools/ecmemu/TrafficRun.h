// Numbered frames through the driver and back. The protocol sends each frame to a peer; the
// wire behind the device checks it and answers with the frame of the same number the other
// way, which the protocol checks in turn. Per number the run knows whether the frame reached
// the device, came back, or is excused: flushed by a reset before it was sent, or cut off by
// the removal of the device. A real device has no wire here: its far end sends the frames
// back by itself (ecmemu reflect), so a frame that comes back is the proof it got there.
#pragma once

#include <platform.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "emu/capture/UsbCapture.h"
#include "emu/devices/EcmFunction.h"
#include "emu/ndis/Protocol.h"
#include "emu/kernel/InternalLock.h"
#include "tools/ecmemu/AdapterSession.h"
#include "tools/ecmemu/Traffic.h"

namespace ecmemu {

struct TrafficTally {
  uint32_t sent = 0;
  uint64_t completed = 0;      // send completions
  uint64_t failedSends = 0;    // completions with a status other than success
  StreamCounts toDevice;       // what the wire saw
  StreamCounts fromDevice;     // what the protocol saw
  uint64_t roundTrips = 0;     // numbers that went out and came back whole
  uint64_t lost = 0;           // numbers not excused that did not
  uint64_t flushedByReset = 0;
  uint64_t droppedByReset = 0;
  uint64_t cutByRemoval = 0;
  uint64_t failedInTransfer = 0;       // never reached the device: a write failed under it
  uint64_t droppedByRecovery = 0;      // answered into reads the repair of a failed one aborted
  uint64_t refusedByDeviceFilter = 0;  // answers the device did not pass to the host
};

class TrafficRun {
 public:
  // 'model' is the simulated device whose wire answers, or null for a real device. frameSize 0:
  // lengths spread up to maxLength; otherwise every frame is that long.
  TrafficRun(AdapterSession& session, emu::devices::EcmFunction* model, const Address& host, uint32_t maxLength,
             emu::capture::EthernetCapture* ethernet, uint32_t frameSize = 0);
  ~TrafficRun();
  TrafficRun(const TrafficRun&) = delete;
  TrafficRun& operator=(const TrafficRun&) = delete;

  // Hands 'count' more frames to the driver in small batches, keeping at most a window of
  // round trips open; false when nothing moved for the stall bound.
  bool Stream(uint32_t count);
  // Hands 'count' frames to the driver without waiting for any.
  void Burst(uint32_t count);
  // Waits until every number is back or excused and every packet completed; false if stalled.
  bool Drain();
  // Waits until every packet handed over is completed.
  bool WaitCompletions();

  uint32_t sent();
  uint64_t reachedDevice();  // numbers the wire saw whole
  // Numbers in [first, end) were queued at a reset: those that never reached the device were
  // flushed by it. Those that did may have been answered while the reset closed the pipes,
  // and the answer dropped with the aborted reads: once a later number is back (frames come
  // back in order), any of them still missing is counted as dropped by the reset.
  uint32_t ExcuseUnsentAsFlushed(uint32_t first, uint32_t end);
  // Writes failed from number 'first' on: the frames they carried are gone, and those are the
  // numbers that never reached the device while a later one came back (the device sees the
  // frames in order). Returns how many.
  uint32_t ExcuseLostByFailedWrites(uint32_t first);
  // A read failed after number 'first' was sent: the repair that follows aborts the reads in
  // flight, and answers they took are dropped with them. Those are the numbers from 'first' on
  // that reached the device and never came back while a later one did. Returns how many.
  uint32_t ExcuseDroppedByFailedReads(uint32_t first);
  // The device is about to go: what has not come back yet, and everything sent later, is cut off.
  void CutForRemoval();
  // What has not come back yet is counted lost for good, and no longer holds the window open.
  void GiveUpOutstanding();
  // Ends the waits of Stream, Drain and WaitCompletions at once, as failed, until
  // CutForRemoval: a real device went away.
  void Abandon();

  TrafficTally Tally();
  // Called now and then while frames stream: frames sent, frames back.
  std::function<void(uint32_t, uint64_t)> onProgress;

 private:
  enum : uint16_t {
    kAtDevice = 1, kBack = 2, kFlushed = 4, kCut = 8, kDroppedByReset = 16, kRefused = 32, kGivenUp = 64, kFailed = 128,
    kDroppedByRecovery = 256
  };
  static constexpr uint16_t kSettled =
      kBack | kFlushed | kCut | kDroppedByReset | kRefused | kGivenUp | kFailed | kDroppedByRecovery;

  void Send(uint32_t count);  // one batch
  bool abandoned();
  void Reclaim();             // frees the packets completed so far
  uint64_t OpenLocked() const { return sent_ - settled_; }
  uint64_t MovementLocked() const { return settled_ + completions_ + wireChecker_.counts().verified; }
  // Waits until doneLocked() (asked under mutex_) holds, for as long as frames keep moving;
  // false once nothing moved for the stall bound.
  bool WaitSteadily(const std::function<bool()>& doneLocked);
  void SettleLocked(uint32_t sequence, uint16_t how);
  // Settles as 'how' the numbers from 'first' older than the newest back that are still open
  // and whose kAtDevice bit is 'atDevice'; returns how many.
  uint32_t ExcuseMissing(uint32_t first, uint16_t atDevice, uint16_t how);
  void OnWire(const emu::devices::Bytes& frame);
  void OnFrame(const emu::ndis::ReceivedFrame& frame);
  void OnSendComplete(PNDIS_PACKET packet, NDIS_STATUS status);

  AdapterSession& session_;
  emu::devices::EcmFunction* model_;
  emu::capture::EthernetCapture* ethernet_;
  FrameFactory outbound_;
  FrameFactory inbound_;
  // Main thread only: the packets handed to the driver, in the order sent, and those back,
  // which the next sends reuse.
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> inFlight_;
  std::vector<std::unique_ptr<emu::ndis::ProtocolPacket>> idle_;
  std::vector<PNDIS_PACKET> batch_;
  std::vector<PNDIS_PACKET> reclaimed_;

  emu::InternalMutex mutex_;  // guards the fields below; taken under the bus lock by the wire
  StreamChecker wireChecker_{1};
  StreamChecker hostChecker_{2};
  std::vector<uint16_t> state_;  // by sequence number
  uint32_t sent_ = 0;
  uint64_t settled_ = 0;        // numbers back or excused
  bool cut_ = false;
  bool abandoned_ = false;
  int64_t highestBack_ = -1;
  uint32_t resetFirst_ = 0, resetEnd_ = 0;  // the numbers queued at the last reset
  std::vector<PNDIS_PACKET> completed_;
  std::vector<UCHAR> received_;  // the frame being checked
  uint64_t completions_ = 0;
  uint64_t failedSends_ = 0;
  uint64_t refusedByFilter_ = 0;
};

}  // namespace ecmemu
