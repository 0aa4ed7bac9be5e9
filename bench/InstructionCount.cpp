// Frames through the driver (as DataPath carries them) or plain memcpys of the same bytes,
// with callgrind collecting only while they run: under
//   valgrind --tool=callgrind --collect-atstart=no bench_instructions DIRECTION SIZE FRAMES
// the profile holds those frames' instructions and nothing of the bring-up or the halt.
// DIRECTION is transmit, receive, round_trip or memcpy. Exit status 1 when a frame did not
// arrive or the run left a finding, 2 for a usage error.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/DataPath.h"

namespace {

// Frames moved before collection starts, so that every lazy first time is over.
constexpr uint32_t kWarmUp = 64;

int Copy(uint32_t size, uint32_t frames) {
  std::vector<char> from(size, 0x5A), to(size);
  // Through a volatile pointer, so the compiler keeps a real call to the library's memcpy.
  void* (*volatile copy)(void*, const void*, size_t) = std::memcpy;
  CALLGRIND_TOGGLE_COLLECT;
  for (uint32_t i = 0; i < frames; ++i) copy(to.data(), from.data(), size);
  CALLGRIND_TOGGLE_COLLECT;
  return to[size - 1] == 0x5A ? 0 : 1;
}

int Move(Direction direction, uint32_t size, uint32_t frames) {
  DataPath path(direction, size);
  if (!path.failure().empty()) {
    std::fprintf(stderr, "bench_instructions: %s\n", path.failure().c_str());
    return 1;
  }
  bool arrived = true;
  for (uint32_t i = 0; i < kWarmUp && arrived; ++i) arrived = path.MoveFrame();
  CALLGRIND_TOGGLE_COLLECT;
  for (uint32_t i = 0; i < frames && arrived; ++i) arrived = path.MoveFrame();
  CALLGRIND_TOGGLE_COLLECT;
  if (!arrived) std::fprintf(stderr, "bench_instructions: a frame did not arrive\n");
  std::vector<std::string> findings = path.Close();
  for (const std::string& finding : findings) std::fprintf(stderr, "bench_instructions: %s\n", finding.c_str());
  return arrived && findings.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s transmit|receive|round_trip|memcpy SIZE FRAMES\n", argv[0]);
    return 2;
  }
  std::string what = argv[1];
  uint32_t size = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  uint32_t frames = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  if (size < 60 || size > 1514 || frames == 0) {
    std::fprintf(stderr, "%s: SIZE from 60 to 1514, FRAMES at least 1\n", argv[0]);
    return 2;
  }
  if (what == "memcpy") return Copy(size, frames);
  for (Direction direction : {Direction::Transmit, Direction::Receive, Direction::RoundTrip})
    if (what == DirectionName(direction)) return Move(direction, size, frames);
  std::fprintf(stderr, "%s: unknown direction %s\n", argv[0], what.c_str());
  return 2;
}
