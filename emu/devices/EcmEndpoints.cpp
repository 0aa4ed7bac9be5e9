#include "emu/devices/EcmEndpoints.h"

#include <algorithm>

namespace emu::devices {

void FrameSource::Queue(Bytes frame) {
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    frames_.push_back(std::move(frame));
    queued_.store(frames_.size(), std::memory_order_release);
  }
  wake_();
}

size_t FrameSource::Queued() const {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return frames_.size();
}

void FrameSource::Clear() {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  frames_.clear();
  queued_.store(0, std::memory_order_release);
}

std::optional<usb::TransferResult> FrameSource::Serve(const usb::TransferRequest& request) {
  if (queued_.load(std::memory_order_acquire) == 0) return std::nullopt;  // NAK: nothing to send yet
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  if (frames_.empty()) return std::nullopt;
  Bytes& frame = frames_.front();
  // The host controller ends a transfer when its buffer is full; a buffer of whole packets
  // fills on a packet boundary, so the rest of the frame goes in the next transfer. A buffer
  // that ends inside a packet is overrun instead: the bus reports babble.
  USHORT packet = request.maximumPacketSize;
  bool wholePackets = packet != 0 && request.length != 0 && request.length % packet == 0;
  if (wholePackets && frame.size() >= request.length) {
    usb::TransferResult piece = usb::TransferResult::Data(Bytes(frame.begin(), frame.begin() + request.length));
    frame.erase(frame.begin(), frame.begin() + request.length);
    // A bulk frame of whole packets still owes its zero-length packet, which then ends the
    // next transfer on its own.
    if (frame.empty() && request.type != UsbdPipeTypeBulk) PopFrontLocked();
    return piece;
  }
  // Otherwise the frame ends inside this transfer: with its short packet, or with the
  // zero-length packet the device sends after a frame of whole packets.
  usb::TransferResult result = usb::TransferResult::Data(std::move(frame));
  PopFrontLocked();
  return result;
}

void FrameSource::PopFrontLocked() {
  frames_.pop_front();
  queued_.store(frames_.size(), std::memory_order_release);
}

std::vector<ReceivedFrame> FrameRecorder::Frames() const {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return frames_;
}

FrameRecorder::Tally FrameRecorder::tally() const {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return tally_;
}

void FrameRecorder::KeepFrames(bool keep) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  keepFrames_ = keep;
}

void FrameRecorder::SetMaximumFrame(size_t maximumFrame) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  maximumFrame_ = maximumFrame;
}

size_t FrameRecorder::PendingBytes() const {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  return current_.bytes.size();
}

void FrameRecorder::SetFrameHandler(std::function<void(const ReceivedFrame&)> handler) {
  std::lock_guard<emu::InternalMutex> guard(mutex_);
  handler_ = std::move(handler);
}

usb::TransferResult FrameRecorder::Serve(const usb::TransferRequest& request) {
  std::optional<ReceivedFrame> ended;
  std::function<void(const ReceivedFrame&)> handler;
  {
    std::lock_guard<emu::InternalMutex> guard(mutex_);
    if (request.length) {
      current_.transfers++;
      size_t room = maximumFrame_ + 1 > current_.bytes.size() ? maximumFrame_ + 1 - current_.bytes.size() : 0;
      size_t kept = std::min<size_t>(room, request.length);
      current_.bytes.insert(current_.bytes.end(), request.data, request.data + kept);
      currentLength_ += request.length;
      lastByte_ = request.data[request.length - 1];
    }
    // Only the last packet of a transfer can be short. A pipe that reports packets of 0 bytes
    // cannot be packetised: each transfer counts as one short packet there.
    USHORT packet = request.maximumPacketSize;
    bool endsShort = request.length == 0 || packet == 0 || request.length % packet != 0;
    if (endsShort) ended = EndFrameLocked(packet);
    if (ended) handler = handler_;
  }
  if (ended && handler) handler(*ended);
  return usb::TransferResult{};
}

std::optional<ReceivedFrame> FrameRecorder::EndFrameLocked(USHORT packetSize) {
  ReceivedFrame frame = std::move(current_);
  size_t length = currentLength_;
  current_ = ReceivedFrame{};
  currentLength_ = 0;
  frame.terminationByte = packetSize != 0 && length % packetSize == 1 && lastByte_ == 0;
  if (frame.terminationByte) --length;
  // A lone zero-length packet or termination byte ends nothing.
  if (length == 0) return std::nullopt;
  frame.truncated = length > maximumFrame_;
  frame.bytes.resize(std::min(length, maximumFrame_));
  tally_.frames++;
  tally_.merged += frame.merged();
  tally_.truncated += frame.truncated;
  if (keepFrames_) frames_.push_back(frame);
  return frame;
}

}  // namespace emu::devices
