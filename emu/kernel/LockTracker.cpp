#include "emu/kernel/LockTracker.h"

#include <cstdio>

#include "emu/kernel/Kernel.h"

namespace emu {

void LockTracker::NameClass(const void* lock, const std::string& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  classes_[lock] = name;
}

void LockTracker::ForgetRange(const void* start, size_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto first = classes_.lower_bound(start);
  auto last = classes_.lower_bound(static_cast<const char*>(start) + length);
  classes_.erase(first, last);
}

std::string LockTracker::ClassOf(const void* lock) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = classes_.find(lock);
  if (it != classes_.end()) return it->second;
  char text[40];
  std::snprintf(text, sizeof text, "unnamed lock %p", lock);
  return text;
}

bool LockTracker::ReachableLocked(const std::string& from, const std::string& to,
                                  std::set<std::string>& seen) const {
  if (from == to) return true;
  if (!seen.insert(from).second) return false;
  auto it = order_.find(from);
  if (it == order_.end()) return false;
  for (const auto& next : it->second)
    if (ReachableLocked(next.first, to, seen)) return true;
  return false;
}

void LockTracker::Acquired(Context& context, const void* lock, const void* site, bool isMutex) {
  std::string taken = ClassOf(lock);
  std::string inversion;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const HeldLock& held : context.held) {
      if (held.lockClass == taken) continue;  // two locks of one class: no order between them
      std::set<std::string> seen;
      auto& edges = order_[held.lockClass];
      if (edges.count(taken)) continue;
      if (ReachableLocked(taken, held.lockClass, seen)) {
        const void* otherSite = nullptr;
        auto back = order_.find(taken);
        if (back != order_.end() && back->second.count(held.lockClass))
          otherSite = back->second[held.lockClass].site;
        inversion = "lock-order inversion: " + taken + " is taken while " + held.lockClass +
                    " is held, but elsewhere " + held.lockClass + " was taken while " + taken +
                    " was held" + (otherSite ? " (at " + Symbolize(otherSite) + ")" : "");
        continue;  // keep the graph free of cycles
      }
      edges[taken] = Edge{site};
    }
  }
  context.held.push_back(HeldLock{lock, taken, site, isMutex});
  if (!inversion.empty()) Kernel::Current().verifier().Report("lock-order", inversion);
}

bool LockTracker::Released(Context& context, const void* lock) {
  for (auto it = context.held.rbegin(); it != context.held.rend(); ++it) {
    if (it->lock == lock) {
      context.held.erase(std::next(it).base());
      return true;
    }
  }
  return false;
}

}  // namespace emu
