// Accounting of everything the driver allocates from the platform: pool blocks by tag and
// pool type, and IRPs, MDLs, work items and page allocations by kind.
#pragma once

#include <platform.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace emu {

enum class AllocationKind { ExPool, NdisMemory, Irp, Mdl, PagesMdl, WorkItem };

const char* KindName(AllocationKind kind);
std::string TagText(ULONG tag);  // "UBUF" for the tag whose bytes read UBUF in memory

struct Allocation {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  AllocationKind kind;
  const void* owner;  // the allocating context's allocationOwner
  bool paged() const { return (type & 1) != 0; }  // may be absent at DISPATCH_LEVEL
};

class Pool {
 public:
  // Memory for a driver allocation, recorded; contents are a non-zero pattern.
  void* Allocate(AllocationKind kind, POOL_TYPE type, size_t size, ULONG tag);
  // Records an object the emulator made for the driver (an IRP, a work item).
  void Track(void* object, AllocationKind kind, size_t size, ULONG tag = 0,
             POOL_TYPE type = NonPagedPool);
  // Checks and forgets a record; reports through the verifier and returns false when the
  // pointer is unknown, freed twice or freed with the wrong function.
  bool Untrack(void* pointer, AllocationKind kind, ULONG tag, const char* function);
  // Untrack, then release the memory Allocate gave.
  void Free(void* pointer, AllocationKind kind, ULONG tag, const char* function);
  bool Knows(const void* pointer, AllocationKind kind);
  // The live allocation whose bytes hold 'address', and where it starts; none for memory the
  // driver did not allocate (its stack, the platform's own objects).
  struct Block {
    const void* start;
    Allocation allocation;
  };
  std::optional<Block> Containing(const void* address);

  // One line per tag or kind still allocated; LeaksOf: only what was allocated for the owner.
  std::vector<std::string> Leaks();
  std::vector<std::string> LeaksOf(const void* owner);
  uint64_t AllocationCount();  // allocations made since the kernel started
  size_t Outstanding();

 private:
  std::mutex mutex_;  // guards the fields below
  std::map<const void*, Allocation> live_;
  std::deque<const void*> recentlyFreed_;
  std::unordered_set<const void*> recentlyFreedSet_;
  uint64_t allocations_ = 0;
};

}  // namespace emu
