// Lock classes and the order in which they are taken, learned as the run goes (like a lock
// dependency checker). A class is named by the driver ("Owner::member") when it initializes
// the lock; an unnamed lock gets a class of its own address. Names are interned: an acquire
// compares class numbers, and one that repeats what a thread has already seen (the lock's
// class, an order between two classes) takes no lock of the tracker's.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "emu/kernel/Context.h"

namespace emu {

class LockTracker {
 public:
  LockTracker();

  void NameClass(const void* lock, const std::string& name);
  // Memory that is freed takes the names of the locks inside it along.
  void ForgetRange(const void* start, size_t length);
  std::string ClassOf(const void* lock);
  std::string Name(LockClassId id);

  // The context took the lock; reports an order inversion against the locks it holds.
  void Acquired(Context& context, const void* lock, const void* site, bool isMutex);
  // The context let the lock go; false when it did not hold it.
  bool Released(Context& context, const void* lock);

 private:
  LockClassId IdOf(const void* lock);
  LockClassId IdOfLocked(const void* lock);
  LockClassId InternLocked(const std::string& name);
  // Whether the order held -> taken is known, learning it when it is new; the inversion's
  // report otherwise (empty when none).
  std::string LearnOrderLocked(LockClassId held, LockClassId taken, const void* site, bool* known);
  bool ReachableLocked(LockClassId from, LockClassId to, std::vector<bool>& seen) const;

  // Changes whenever a lock's class may have changed; numbers are unique across trackers, so
  // a thread's cached answers can never be taken for another tracker's.
  std::atomic<uint64_t> generation_;
  const uint64_t serial_;  // names this tracker in the threads' caches of known orders

  std::mutex mutex_;  // guards the fields below
  std::map<const void*, LockClassId> classes_;             // named locks
  std::unordered_map<std::string, LockClassId> interned_;  // class name -> number
  std::deque<std::string> names_;                          // by number
  std::vector<std::unordered_map<LockClassId, const void*>> order_;  // held class -> taken class -> site
};

}  // namespace emu
