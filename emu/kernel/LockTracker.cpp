#include "emu/kernel/LockTracker.h"

#include <cstdio>

#include "emu/kernel/Kernel.h"

namespace emu {
namespace {

std::atomic<uint64_t> nextNumber{1};  // generations and serials, never reused

size_t Slot(uint64_t key, size_t slots) { return (key * 0x9E3779B97F4A7C15ull >> 32) & (slots - 1); }

// Each thread remembers the classes of the locks it took lately, good for one generation.
struct CachedClass {
  const void* lock;
  uint64_t generation;
  LockClassId id;
};
constexpr size_t kCachedClasses = 64;
thread_local CachedClass cachedClasses[kCachedClasses];

// And the orders between classes it found known: a tracker never forgets one.
struct CachedOrder {
  uint64_t serial;
  uint64_t order;  // held class << 32 | taken class
};
constexpr size_t kCachedOrders = 256;
thread_local CachedOrder cachedOrders[kCachedOrders];

}  // namespace

LockTracker::LockTracker() : generation_(nextNumber++), serial_(nextNumber++) {}

void LockTracker::NameClass(const void* lock, const std::string& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  classes_[lock] = InternLocked(name);
  generation_.store(nextNumber++, std::memory_order_release);
}

void LockTracker::ForgetRange(const void* start, size_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto first = classes_.lower_bound(start);
  auto last = classes_.lower_bound(static_cast<const char*>(start) + length);
  if (first == last) return;
  classes_.erase(first, last);
  generation_.store(nextNumber++, std::memory_order_release);
}

std::string LockTracker::ClassOf(const void* lock) { return Name(IdOf(lock)); }

std::string LockTracker::Name(LockClassId id) {
  std::lock_guard<std::mutex> guard(mutex_);
  return names_[id];
}

LockClassId LockTracker::IdOf(const void* lock) {
  uint64_t generation = generation_.load(std::memory_order_acquire);
  CachedClass& cached = cachedClasses[Slot(reinterpret_cast<uintptr_t>(lock), kCachedClasses)];
  if (cached.lock == lock && cached.generation == generation) return cached.id;
  LockClassId id;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    id = IdOfLocked(lock);
  }
  // Paired with the generation read before: a change since makes the entry stale, not wrong.
  cached = CachedClass{lock, generation, id};
  return id;
}

LockClassId LockTracker::IdOfLocked(const void* lock) {
  auto it = classes_.find(lock);
  if (it != classes_.end()) return it->second;
  char text[40];
  std::snprintf(text, sizeof text, "unnamed lock %p", lock);
  return InternLocked(text);
}

LockClassId LockTracker::InternLocked(const std::string& name) {
  auto [it, added] = interned_.emplace(name, static_cast<LockClassId>(names_.size()));
  if (added) {
    names_.push_back(name);
    order_.emplace_back();
  }
  return it->second;
}

bool LockTracker::ReachableLocked(LockClassId from, LockClassId to, std::vector<bool>& seen) const {
  if (from == to) return true;
  if (seen[from]) return false;
  seen[from] = true;
  for (const auto& next : order_[from])
    if (ReachableLocked(next.first, to, seen)) return true;
  return false;
}

std::string LockTracker::LearnOrderLocked(LockClassId held, LockClassId taken, const void* site, bool* known) {
  *known = true;
  if (order_[held].count(taken)) return "";
  std::vector<bool> seen(names_.size());
  if (!ReachableLocked(taken, held, seen)) {
    order_[held].emplace(taken, site);
    return "";
  }
  *known = false;  // kept out of the graph, which stays free of cycles, and reported each time
  auto back = order_[taken].find(held);
  const void* otherSite = back != order_[taken].end() ? back->second : nullptr;
  const std::string& heldName = names_[held];
  const std::string& takenName = names_[taken];
  return "lock-order inversion: " + takenName + " is taken while " + heldName + " is held, but elsewhere " +
         heldName + " was taken while " + takenName + " was held" +
         (otherSite ? " (at " + Symbolize(otherSite) + ")" : "");
}

void LockTracker::Acquired(Context& context, const void* lock, const void* site, bool isMutex) {
  LockClassId taken = IdOf(lock);
  std::string inversion;
  for (const HeldLock& held : context.held) {
    if (held.lockClass == taken) continue;  // two locks of one class: no order between them
    uint64_t order = uint64_t{held.lockClass} << 32 | taken;
    CachedOrder& cached = cachedOrders[Slot(order, kCachedOrders)];
    if (cached.serial == serial_ && cached.order == order) continue;
    bool known;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      std::string report = LearnOrderLocked(held.lockClass, taken, site, &known);
      if (!report.empty()) inversion = std::move(report);
    }
    if (known) cached = CachedOrder{serial_, order};
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
