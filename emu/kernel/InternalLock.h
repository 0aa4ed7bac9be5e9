// A lock of the emulator's own parts (bus, device model, NDIS library), not the driver's. While
// a thread holds one, its platform calls are no scheduling points: an exploring scheduler that
// switched there could hand the baton to a thread that then blocks on this lock, outside its view.
#pragma once

#include <mutex>

namespace emu {

class InternalMutex {
 public:
  void lock();
  void unlock();

 private:
  std::mutex mutex_;
};

// True while the calling thread holds an InternalMutex.
bool HoldsInternalLock();

}  // namespace emu
