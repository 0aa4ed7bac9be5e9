// The data side of the simulated ECM function: what its IN endpoints send, and what its OUT
// endpoint makes of the packets it receives. Each endpoint has a lock of its own, taken under
// the bus lock when the bus asks and alone when a test feeds or reads the endpoint.
#pragma once

#include <platform.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "emu/devices/DeviceProfile.h"
#include "emu/kernel/InternalLock.h"
#include "emu/usb/Transfers.h"

namespace emu::devices {

// A frame the device assembled from the packets of its OUT endpoint.
struct ReceivedFrame {
  Bytes bytes;
  size_t transfers = 0;    // transfers whose bytes went into it; more than one: merged
  bool truncated = false;  // longer than the device takes: the rest was dropped
  // It ended with the host's one-byte termination, which is not part of the frame: its length
  // was a whole number of packets plus one, and that last byte 0x00. (A frame that really is
  // that long and really ends in 0x00 cannot be told apart, by this model or by hardware.)
  bool terminationByte = false;
  bool merged() const { return transfers > 1; }
};

// An IN endpoint's data: frames (or notification pieces) in order, each ending the transfer
// it completes. A frame longer than a buffer of whole packets goes on in the next transfer;
// longer than any other buffer, it is babble.
class FrameSource {
 public:
  explicit FrameSource(std::function<void()> wake) : wake_(std::move(wake)) {}

  // From any thread without the bus lock: a transfer waiting on the endpoint gets it at once.
  void Queue(Bytes frame);
  size_t Queued() const;
  void Clear();  // the device forgets what it had not sent yet
  // The next frame for a transfer, or none to keep it waiting (bus lock held).
  std::optional<usb::TransferResult> Serve(const usb::TransferRequest& request);

 private:
  void PopFrontLocked();

  std::function<void()> wake_;
  mutable emu::InternalMutex mutex_;  // guards frames_
  std::deque<Bytes> frames_;
  // frames_.size(), written under mutex_: the bus asks an idle endpoint often, and a frame
  // queued after this reads zero wakes the bus to ask again.
  std::atomic<size_t> queued_{0};
};

// An OUT endpoint's receiver. An OUT transfer reaches the device as wMaxPacketSize packets; a
// frame ends only at a short packet (a zero-length one included), so a transfer that ends on
// a packet boundary and is not followed by a zero-length packet runs into the next one.
class FrameRecorder {
 public:
  explicit FrameRecorder(size_t maximumFrame) : maximumFrame_(maximumFrame) {}
  // The longest frame the device takes from now on: each configuration has its own.
  void SetMaximumFrame(size_t maximumFrame);

  // What every frame ended so far came to, kept or not.
  struct Tally {
    size_t frames = 0;
    size_t merged = 0;
    size_t truncated = 0;
  };

  std::vector<ReceivedFrame> Frames() const;  // every frame ended so far and kept, in order
  Tally tally() const;
  // Frames are kept for Frames() unless switched off (a long run hears them in the handler).
  void KeepFrames(bool keep);
  size_t PendingBytes() const;                // of a frame not ended yet
  // Hears each frame as it ends, on the bus's thread without the recorder's lock (an echo
  // onto an IN endpoint, a wire); it must not call back into this recorder.
  void SetFrameHandler(std::function<void(const ReceivedFrame&)> handler);
  // Takes the transfer's packets (bus lock held); the device accepts every byte.
  usb::TransferResult Serve(const usb::TransferRequest& request);

 private:
  // The frame under way ends: the termination byte comes off, the length limit applies.
  std::optional<ReceivedFrame> EndFrameLocked(USHORT packetSize);

  mutable emu::InternalMutex mutex_;  // guards the fields below
  size_t maximumFrame_;
  ReceivedFrame current_;     // up to maximumFrame_ + 1 bytes: room for a termination byte
  size_t currentLength_ = 0;  // bytes of the frame under way, kept or not
  UCHAR lastByte_ = 0;        // its last byte so far
  std::vector<ReceivedFrame> frames_;
  bool keepFrames_ = true;
  Tally tally_;
  std::function<void(const ReceivedFrame&)> handler_;
};

}  // namespace emu::devices
