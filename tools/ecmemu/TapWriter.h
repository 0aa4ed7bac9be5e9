// Writes frames to a TAP interface from a thread of its own. The emulator hands frames over
// from contexts that must not make system calls that take long: an indication at
// DISPATCH_LEVEL, the device's wire under the bus lock. Post only copies the frame into a
// bounded queue; a frame that finds the queue full is dropped and counted, as a receiver
// out of buffers drops it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/ecmemu/TapDevice.h"

namespace ecmemu {

struct TapWriterCounts {
  uint64_t written = 0;
  uint64_t dropped = 0;   // the queue was full
  uint64_t refused = 0;   // the kernel refused the write (the interface down, say)
};

class TapWriter {
 public:
  TapWriter(TapDevice& tap, size_t capacity);
  ~TapWriter();  // stops: frames still queued are not written
  TapWriter(const TapWriter&) = delete;
  TapWriter& operator=(const TapWriter&) = delete;

  // From any context; never blocks on the TAP.
  void Post(const uint8_t* frame, size_t length);
  void Stop();
  TapWriterCounts counts();

 private:
  void Main();

  TapDevice& tap_;
  const size_t capacity_;
  std::mutex mutex_;  // guards the fields below; never held across a write
  std::condition_variable ready_;
  std::deque<std::vector<uint8_t>> queue_;
  bool stopping_ = false;
  TapWriterCounts counts_;
  std::thread thread_;  // last: it starts once the rest is built
};

}  // namespace ecmemu
