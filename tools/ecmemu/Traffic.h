// The frames a session exchanges and the check of what came back. Each frame carries its
// direction, a sequence number, its length and a checksum over everything before it, so loss,
// duplication, reordering and corruption can each be told apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ecmemu {

using Mac = std::array<uint8_t, 6>;

constexpr size_t kFrameOverhead = 14 + 2 + 1 + 4 + 2 + 4;  // header, marker, direction, seq, length, sum

class FrameFactory {
 public:
  // fixedLength 0: frame number n's length is spread over [kFrameOverhead, maxLength], with
  // the lengths that meet packet boundaries (63, 64, 65, 511, 512, 513) and the largest among
  // them; otherwise every frame is fixedLength long.
  FrameFactory(Mac destination, Mac source, uint8_t direction, uint32_t maxLength, uint32_t fixedLength = 0);
  std::vector<uint8_t> Make(uint32_t sequence) const;
  void Write(uint32_t sequence, uint8_t* frame) const;  // the same into LengthOf(sequence) bytes
  uint32_t LengthOf(uint32_t sequence) const;

 private:
  Mac destination_;
  Mac source_;
  uint8_t direction_;
  uint32_t maxLength_;
  uint32_t fixedLength_;
};

struct StreamCounts {
  uint64_t received = 0;
  uint64_t verified = 0;
  uint64_t duplicated = 0;
  uint64_t reordered = 0;
  uint64_t corrupted = 0;
  uint64_t foreign = 0;  // not a frame of this stream at all
};

// The far end's answer to a frame a session sent (direction 1): the same frame with its
// addresses swapped, as direction 2, its checksum made anew. False for any other frame.
bool ReflectFrame(std::vector<uint8_t>& frame);

// The far end's answer to a whole frame of direction 1 that is 'declared' bytes long, made in
// place: its addresses swapped, direction 2, its checksum mended for the bytes that changed.
void AnswerInPlace(uint8_t* frame, size_t declared);

// Checks the frames of one direction as they arrive.
class StreamChecker {
 public:
  explicit StreamChecker(uint8_t direction) : direction_(direction) {}
  // The frame's sequence number when it arrived whole and for the first time.
  std::optional<uint32_t> Accept(const uint8_t* frame, size_t length);
  const StreamCounts& counts() const { return counts_; }

 private:
  bool SeenBefore(uint32_t sequence);  // and marks it seen

  uint8_t direction_;
  StreamCounts counts_;
  std::vector<uint64_t> seen_;  // a bit per sequence number, grown as numbers arrive
  int64_t highest_ = -1;
};

}  // namespace ecmemu
