#include "emu/kernel/Pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emu/kernel/Context.h"
#include "emu/kernel/Kernel.h"
#include "emu/kernel/Leak.h"

namespace emu {
namespace {

constexpr size_t kRememberFreed = 4096;  // enough to tell a double free from a wild pointer

}  // namespace

const char* KindName(AllocationKind kind) {
  switch (kind) {
    case AllocationKind::ExPool: return "pool block (ExAllocatePoolWithTag)";
    case AllocationKind::NdisMemory: return "memory (NdisAllocateMemoryWithTag)";
    case AllocationKind::Irp: return "IRP (IoAllocateIrp)";
    case AllocationKind::Mdl: return "MDL (IoAllocateMdl)";
    case AllocationKind::PagesMdl: return "page allocation (MmAllocatePagesForMdl)";
    case AllocationKind::WorkItem: return "work item (IoAllocateWorkItem)";
  }
  return "?";
}

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

void* Pool::Allocate(AllocationKind kind, POOL_TYPE type, size_t size, ULONG tag) {
  void* memory = std::malloc(size ? size : 1);
  // Uninitialised memory is not zero on the platform either.
  std::memset(memory, 0xCD, size);
  Track(memory, kind, size, tag, type);
  return memory;
}

void Pool::Track(void* object, AllocationKind kind, size_t size, ULONG tag, POOL_TYPE type) {
  const void* owner = CurrentContext().allocationOwner;
  std::lock_guard<std::mutex> guard(mutex_);
  live_[object] = Allocation{size, tag, type, kind, owner};
  ++allocations_;
  if (recentlyFreedSet_.erase(object)) {
    for (auto it = recentlyFreed_.begin(); it != recentlyFreed_.end(); ++it)
      if (*it == object) {
        recentlyFreed_.erase(it);
        break;
      }
  }
}

bool Pool::Untrack(void* pointer, AllocationKind kind, ULONG tag, const char* function) {
  Verifier& verifier = Kernel::Current().verifier();
  Allocation found{};
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = live_.find(pointer);
    if (it == live_.end()) {
      bool twice = recentlyFreedSet_.count(pointer) != 0;
      char text[160];
      std::snprintf(text, sizeof text, "%s of %p: %s", function, pointer,
                    twice ? "double free (already freed)" : "pointer was never allocated");
      verifier.Report("pool", text);
      return false;
    }
    found = it->second;
    if (found.kind != kind) {
      verifier.Report("pool", std::string(function) + " used to free a " + KindName(found.kind));
      return false;
    }
    if (tag != 0 && tag != found.tag) {
      verifier.Report("pool", std::string(function) + " with tag '" + TagText(tag) +
                                  "' frees a block tagged '" + TagText(found.tag) + "'");
    }
    live_.erase(it);
    recentlyFreed_.push_back(pointer);
    recentlyFreedSet_.insert(pointer);
    if (recentlyFreed_.size() > kRememberFreed) {
      recentlyFreedSet_.erase(recentlyFreed_.front());
      recentlyFreed_.pop_front();
    }
  }
  Kernel& kernel = Kernel::Current();
  kernel.locks().ForgetRange(pointer, found.size);
  std::vector<std::string> queued = kernel.scheduler().QueuedObjectsIn(pointer, found.size);
  for (const std::string& object : queued)
    verifier.Report("pool", std::string(function) + " frees memory that holds " + object);
  if (queued.empty()) return true;
  // The platform would run the queued object on freed memory; the emulator keeps the block.
  KeepForever(pointer);
  return false;
}

void Pool::Free(void* pointer, AllocationKind kind, ULONG tag, const char* function) {
  if (Untrack(pointer, kind, tag, function)) std::free(pointer);
}

bool Pool::Knows(const void* pointer, AllocationKind kind) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = live_.find(pointer);
  return it != live_.end() && it->second.kind == kind;
}

std::optional<Pool::Block> Pool::Containing(const void* address) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto after = live_.upper_bound(address);
  if (after == live_.begin()) return std::nullopt;
  auto block = std::prev(after);
  auto start = reinterpret_cast<uintptr_t>(block->first);
  if (reinterpret_cast<uintptr_t>(address) - start >= block->second.size) return std::nullopt;
  return Block{block->first, block->second};
}

std::vector<std::string> Pool::Leaks() { return LeaksOf(nullptr); }

std::vector<std::string> Pool::LeaksOf(const void* owner) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::map<std::string, std::pair<size_t, size_t>> byGroup;  // count, bytes
  for (const auto& entry : live_) {
    const Allocation& a = entry.second;
    if (owner && a.owner != owner) continue;
    std::string group = KindName(a.kind);
    if (a.kind == AllocationKind::ExPool || a.kind == AllocationKind::NdisMemory)
      group += " tagged '" + TagText(a.tag) + "'" + (a.type == PagedPool ? " (paged)" : "");
    byGroup[group].first++;
    byGroup[group].second += a.size;
  }
  std::vector<std::string> leaks;
  for (const auto& g : byGroup)
    leaks.push_back(std::to_string(g.second.first) + " x " + g.first + ", " +
                    std::to_string(g.second.second) + " bytes, not freed");
  return leaks;
}

uint64_t Pool::AllocationCount() {
  std::lock_guard<std::mutex> guard(mutex_);
  return allocations_;
}

size_t Pool::Outstanding() {
  std::lock_guard<std::mutex> guard(mutex_);
  return live_.size();
}

}  // namespace emu
