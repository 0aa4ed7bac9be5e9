#include "emu/kernel/InternalLock.h"

namespace emu {
namespace {

thread_local int held = 0;

}  // namespace

void InternalMutex::lock() {
  mutex_.lock();
  ++held;
}

void InternalMutex::unlock() {
  --held;
  mutex_.unlock();
}

bool HoldsInternalLock() { return held > 0; }

}  // namespace emu
