#include "emu/devices/EcmEndpoints.h"

#include <algorithm>

namespace emu::devices {

void FrameSource::Queue(Bytes frame) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    frames_.push_back(std::move(frame));
  }
  wake_();
}

size_t FrameSource::Queued() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frames_.size();
}

std::optional<usb::TransferResult> FrameSource::Serve(const usb::TransferRequest&) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (frames_.empty()) return std::nullopt;  // NAK: nothing to send yet
  // The device ends every frame (with a zero-length packet where it fills whole packets), so
  // one frame fills one transfer.
  usb::TransferResult result = usb::TransferResult::Data(std::move(frames_.front()));
  frames_.pop_front();
  return result;
}

std::vector<ReceivedFrame> FrameRecorder::Frames() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return frames_;
}

size_t FrameRecorder::PendingBytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return current_.bytes.size();
}

void FrameRecorder::SetFrameHandler(std::function<void(const ReceivedFrame&)> handler) {
  std::lock_guard<std::mutex> guard(mutex_);
  handler_ = std::move(handler);
}

usb::TransferResult FrameRecorder::Serve(const usb::TransferRequest& request) {
  std::optional<ReceivedFrame> ended;
  std::function<void(const ReceivedFrame&)> handler;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (request.length) {
      current_.transfers++;
      size_t room = maximumFrame_ > current_.bytes.size() ? maximumFrame_ - current_.bytes.size() : 0;
      size_t kept = std::min<size_t>(room, request.length);
      current_.bytes.insert(current_.bytes.end(), request.data, request.data + kept);
      current_.truncated |= kept < request.length;
    }
    // Only the last packet of a transfer can be short. A pipe that reports packets of 0 bytes
    // cannot be packetised: each transfer counts as one short packet there.
    USHORT packet = request.maximumPacketSize;
    bool endsShort = request.length == 0 || packet == 0 || request.length % packet != 0;
    if (endsShort && !current_.bytes.empty()) {
      ended = std::move(current_);
      frames_.push_back(*ended);
      handler = handler_;
    }
    if (endsShort) current_ = ReceivedFrame{};
  }
  if (ended && handler) handler(*ended);
  return usb::TransferResult{};
}

}  // namespace emu::devices
