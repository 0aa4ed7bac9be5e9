#include "tools/ecmemu/Traffic.h"

#include <cstring>
#include <utility>

namespace ecmemu {
namespace {

constexpr uint16_t kEtherType = 0x88B5;  // local experimental: nothing else claims it
constexpr uint8_t kMarker[2] = {0xEC, 0x3E};
constexpr uint32_t kBoundaryLengths[] = {63, 64, 65, 511, 512, 513};

// FNV-1a with the top bit set. That bit lands in a frame's last byte: a frame of whole packets
// plus one byte that ends in 0x00 looks to a device exactly like a one-byte termination, so
// no frame of the stream may end so.
uint32_t Checksum(const uint8_t* bytes, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 16777619u;
  return hash | 0x80000000u;
}

void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

FrameFactory::FrameFactory(Mac destination, Mac source, uint8_t direction, uint32_t maxLength, uint32_t fixedLength)
    : destination_(destination), source_(source), direction_(direction), maxLength_(maxLength), fixedLength_(fixedLength) {}

uint32_t FrameFactory::LengthOf(uint32_t sequence) const {
  if (fixedLength_) return fixedLength_;
  constexpr uint32_t kSpecial = sizeof kBoundaryLengths / sizeof kBoundaryLengths[0];
  uint32_t slot = sequence % 16;
  if (slot < kSpecial && kBoundaryLengths[slot] <= maxLength_) return kBoundaryLengths[slot];
  if (slot == kSpecial) return maxLength_;
  // A mixing hash spreads the rest evenly over the range, the same for every run.
  uint32_t mixed = sequence;
  mixed = (mixed ^ (mixed >> 16)) * 0x85EBCA6Bu;
  mixed = (mixed ^ (mixed >> 13)) * 0xC2B2AE35u;
  mixed ^= mixed >> 16;
  uint32_t span = maxLength_ - kFrameOverhead + 1;
  return kFrameOverhead + mixed % span;
}

std::vector<uint8_t> FrameFactory::Make(uint32_t sequence) const {
  std::vector<uint8_t> frame(LengthOf(sequence));
  std::memcpy(&frame[0], destination_.data(), 6);
  std::memcpy(&frame[6], source_.data(), 6);
  frame[12] = kEtherType >> 8;
  frame[13] = kEtherType & 0xFF;
  frame[14] = kMarker[0];
  frame[15] = kMarker[1];
  frame[16] = direction_;
  Put32(&frame[17], sequence);
  frame[21] = static_cast<uint8_t>(frame.size());
  frame[22] = static_cast<uint8_t>(frame.size() >> 8);
  size_t payloadEnd = frame.size() - 4;
  for (size_t i = 23; i < payloadEnd; ++i) frame[i] = static_cast<uint8_t>(sequence * 31 + i * 7);
  Put32(&frame[payloadEnd], Checksum(frame.data(), payloadEnd));
  return frame;
}

bool ReflectFrame(std::vector<uint8_t>& frame) {
  StreamChecker outbound(1);
  if (!outbound.Accept(frame.data(), frame.size())) return false;
  size_t declared = frame[21] | static_cast<size_t>(frame[22]) << 8;
  frame.resize(declared);  // without the padding a wire may have added
  for (size_t i = 0; i < 6; ++i) std::swap(frame[i], frame[6 + i]);
  frame[16] = 2;
  Put32(&frame[declared - 4], Checksum(frame.data(), declared - 4));
  return true;
}

std::optional<uint32_t> StreamChecker::Accept(const uint8_t* frame, size_t length) {
  counts_.received++;
  bool ours = length >= kFrameOverhead && frame[12] == (kEtherType >> 8) && frame[13] == (kEtherType & 0xFF) &&
              frame[14] == kMarker[0] && frame[15] == kMarker[1] && frame[16] == direction_;
  if (!ours) {
    counts_.foreign++;
    return std::nullopt;
  }
  uint32_t sequence = Get32(&frame[17]);
  size_t declared = frame[21] | static_cast<size_t>(frame[22]) << 8;
  // A frame longer than declared (padding a device added) is still whole; a shorter one is not.
  if (declared > length || declared < kFrameOverhead ||
      Get32(&frame[declared - 4]) != Checksum(frame, declared - 4)) {
    counts_.corrupted++;
    return std::nullopt;
  }
  if (!seen_.insert(sequence).second) {
    counts_.duplicated++;
    return std::nullopt;
  }
  if (static_cast<int64_t>(sequence) < highest_) counts_.reordered++;
  else highest_ = sequence;
  counts_.verified++;
  return sequence;
}

}  // namespace ecmemu
