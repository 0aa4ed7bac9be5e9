// Lock classes and the order in which they are taken, learned as the run goes (like a lock
// dependency checker). A class is named by the driver ("Owner::member") when it initializes
// the lock; an unnamed lock gets a class of its own address.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "emu/kernel/Context.h"

namespace emu {

class LockTracker {
 public:
  void NameClass(const void* lock, const std::string& name);
  // Memory that is freed takes the names of the locks inside it along.
  void ForgetRange(const void* start, size_t length);
  std::string ClassOf(const void* lock);

  // The context took the lock; reports an order inversion against the locks it holds.
  void Acquired(Context& context, const void* lock, const void* site, bool isMutex);
  // The context let the lock go; false when it did not hold it.
  bool Released(Context& context, const void* lock);

 private:
  struct Edge {
    const void* site;  // where the second lock was first taken under the first
  };
  bool ReachableLocked(const std::string& from, const std::string& to,
                       std::set<std::string>& seen) const;

  std::mutex mutex_;  // guards classes_ and order_
  std::map<const void*, std::string> classes_;
  std::map<std::string, std::map<std::string, Edge>> order_;  // held class -> taken class
};

}  // namespace emu
