#include "tools/ecmemu/Traffic.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ecmemu {
namespace {

constexpr uint16_t kEtherType = 0x88B5;  // local experimental: nothing else claims it
constexpr uint8_t kMarker[2] = {0xEC, 0x3E};
constexpr uint32_t kBoundaryLengths[] = {63, 64, 65, 511, 512, 513};

uint32_t Word(const uint8_t* at) { return at[0] | static_cast<uint32_t>(at[1]) << 8; }

// The sum of (2j + 1) * w_j mod 2^31 over the little-endian 16-bit words w_j of the bytes, the
// last one padded with a zero. Every word has an odd weight of its own and is less than 2^16,
// so a change to any one word changes the sum, and a change to a few words can be mended
// without reading the rest. Four lanes over 8-byte chunks (word j = 4m + lane) keep a running
// sum and a sum of running sums each: the sum of m * w then comes without a multiply per word.
uint32_t WeightedSum(const uint8_t* bytes, size_t length) {
  uint32_t sum[4] = {}, sums[4] = {};
  size_t chunks = length / 8;
  for (size_t m = 0; m < chunks; ++m)
    for (int lane = 0; lane < 4; ++lane) {
      sum[lane] += Word(bytes + 8 * m + 2 * lane);
      sums[lane] += sum[lane];
    }
  uint32_t total = 0;
  for (uint32_t lane = 0; lane < 4; ++lane) {
    uint32_t byChunk = static_cast<uint32_t>(chunks) * sum[lane] - sums[lane];
    total += 8 * byChunk + (2 * lane + 1) * sum[lane];
  }
  for (size_t at = chunks * 8; at < length; at += 2) {
    uint8_t last[2] = {bytes[at], at + 1 < length ? bytes[at + 1] : uint8_t{0}};
    total += static_cast<uint32_t>(2 * (at / 2) + 1) * Word(last);
  }
  return total & 0x7FFFFFFFu;
}

// The top bit lands in a frame's last byte: a frame of whole packets plus one byte that ends
// in 0x00 looks to a device exactly like a one-byte termination, so no frame of the stream may
// end so.
uint32_t Checksum(const uint8_t* bytes, size_t length) { return WeightedSum(bytes, length) | 0x80000000u; }

void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

size_t DeclaredLength(const uint8_t* frame) { return frame[21] | static_cast<size_t>(frame[22]) << 8; }

// No stream numbers more frames: a whole frame of a higher number is none of the stream's.
constexpr uint32_t kMostNumbers = 1u << 27;

enum class Verdict { Foreign, Corrupted, Whole };

Verdict Examine(const uint8_t* frame, size_t length, uint8_t direction) {
  bool ours = length >= kFrameOverhead && frame[12] == (kEtherType >> 8) && frame[13] == (kEtherType & 0xFF) &&
              frame[14] == kMarker[0] && frame[15] == kMarker[1] && frame[16] == direction;
  if (!ours) return Verdict::Foreign;
  size_t declared = DeclaredLength(frame);
  // A frame longer than declared (padding a device added) is still whole; a shorter one is not.
  if (declared > length || declared < kFrameOverhead ||
      Get32(&frame[declared - 4]) != Checksum(frame, declared - 4))
    return Verdict::Corrupted;
  return Verdict::Whole;
}

}  // namespace

FrameFactory::FrameFactory(Mac destination, Mac source, uint8_t direction, uint32_t maxLength, uint32_t fixedLength)
    : destination_(destination), source_(source), direction_(direction), maxLength_(maxLength),
      fixedLength_(fixedLength) {}

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
  Write(sequence, frame.data());
  return frame;
}

void FrameFactory::Write(uint32_t sequence, uint8_t* frame) const {
  uint32_t length = LengthOf(sequence);
  std::memcpy(&frame[0], destination_.data(), 6);
  std::memcpy(&frame[6], source_.data(), 6);
  frame[12] = kEtherType >> 8;
  frame[13] = kEtherType & 0xFF;
  frame[14] = kMarker[0];
  frame[15] = kMarker[1];
  frame[16] = direction_;
  Put32(&frame[17], sequence);
  frame[21] = static_cast<uint8_t>(length);
  frame[22] = static_cast<uint8_t>(length >> 8);
  // Words that step by an odd constant from where the number puts them: no two frames alike.
  size_t payloadEnd = length - 4;
  uint64_t word = sequence * 0x9E3779B97F4A7C15ull;
  size_t at = 23;
  for (; at + 8 <= payloadEnd; at += 8, word += 0xD6E8FEB86659FD93ull) std::memcpy(&frame[at], &word, 8);
  std::memcpy(&frame[at], &word, payloadEnd - at);
  Put32(&frame[payloadEnd], Checksum(frame, payloadEnd));
}

bool ReflectFrame(std::vector<uint8_t>& frame) {
  if (Examine(frame.data(), frame.size(), 1) != Verdict::Whole) return false;
  frame.resize(DeclaredLength(frame.data()));  // without the padding a wire may have added
  AnswerInPlace(frame.data(), frame.size());
  return true;
}

void AnswerInPlace(uint8_t* frame, size_t declared) {
  constexpr size_t kChanged = 20;  // the words that hold the addresses and the direction
  uint32_t before = WeightedSum(frame, kChanged);
  for (size_t i = 0; i < 6; ++i) std::swap(frame[i], frame[6 + i]);
  frame[16] = 2;
  uint32_t after = WeightedSum(frame, kChanged);
  // The sums are taken mod 2^31; the stored one's top bit is set either way.
  Put32(&frame[declared - 4], ((Get32(&frame[declared - 4]) + after - before) & 0x7FFFFFFFu) | 0x80000000u);
}

std::optional<uint32_t> StreamChecker::Accept(const uint8_t* frame, size_t length) {
  counts_.received++;
  Verdict verdict = Examine(frame, length, direction_);
  uint32_t sequence = verdict == Verdict::Whole ? Get32(&frame[17]) : 0;
  if (verdict == Verdict::Whole && sequence >= kMostNumbers) verdict = Verdict::Foreign;
  if (verdict == Verdict::Foreign) {
    counts_.foreign++;
    return std::nullopt;
  }
  if (verdict == Verdict::Corrupted) {
    counts_.corrupted++;
    return std::nullopt;
  }
  if (SeenBefore(sequence)) {
    counts_.duplicated++;
    return std::nullopt;
  }
  if (static_cast<int64_t>(sequence) < highest_) counts_.reordered++;
  else highest_ = sequence;
  counts_.verified++;
  return sequence;
}

bool StreamChecker::SeenBefore(uint32_t sequence) {
  size_t index = sequence / 64;
  if (index >= seen_.size()) seen_.resize(std::max(index + 1, 2 * seen_.size()), 0);
  uint64_t bit = uint64_t{1} << (sequence % 64);
  bool seen = (seen_[index] & bit) != 0;
  seen_[index] |= bit;
  return seen;
}

}  // namespace ecmemu
