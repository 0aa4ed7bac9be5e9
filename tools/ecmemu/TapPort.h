// One side of the bridge on a TAP interface: a thread that reads the frames the kernel sends
// on it and hands each on, and a writer for the frames going the other way.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "tools/ecmemu/TapWriter.h"

namespace ecmemu {

class TapPort {
 public:
  static constexpr size_t kWriteQueue = 512;

  TapPort(const TapPort&) = delete;
  TapPort& operator=(const TapPort&) = delete;

  // Reads no more; joins the reader.
  void StopReading();
  bool readFailed() const { return readFailed_; }

 protected:
  explicit TapPort(TapDevice& tap) : tap_(tap), writer_(tap, kWriteQueue) {}
  ~TapPort();  // the derived side stops reading first: the reader calls into it

  void StartReading();
  bool stopping() const { return stopping_; }
  // The reader's steps: wait until the frame can be taken (false: stop reading), then take
  // it; the frame may be taken from, and may be reused for further reads.
  virtual bool WaitForRoom() = 0;
  virtual void Take(std::vector<uint8_t>& frame) = 0;
  virtual void OnStopping() {}  // wakes a WaitForRoom that waits

  TapDevice& tap_;
  TapWriter writer_;

 private:
  void ReadMain();

  std::atomic<bool> stopping_{false};
  std::atomic<bool> readFailed_{false};
  std::thread reader_;
};

}  // namespace ecmemu
