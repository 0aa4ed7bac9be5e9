// Memory of the driver: objects from NdisAllocateMemoryWithTag, USB-side buffers from pool,
// and the explicit deleting destructor that the driver's classes use in place of C++ delete.
#pragma once

#include <platform.h>

#include <new>  // placement new; freestanding, and the same declaration tests see

#include "support/Annotations.h"

// Null on failure; the block is zero-filled when zero is TRUE.
IRQL_AT_MOST_DISPATCH PVOID AllocateMemory(ULONG length, ULONG tag, BOOLEAN zero);
IRQL_AT_MOST_DISPATCH VOID FreeMemory(PVOID pointer);  // null is ignored

IRQL_AT_MOST_DISPATCH PVOID AllocatePool(POOL_TYPE poolType, SIZE_T length, ULONG tag, BOOLEAN zero);
// Only for pointers known to be allocated; tag 0 is passed on.
IRQL_AT_MOST_DISPATCH VOID FreePool(PVOID pointer);

// Bit 0 of a deleting destructor's flags: free the object's memory after destruction.
constexpr ULONG kDestroyFreeMemory = 1;

// Base of the classes created on the heap: creation takes size, pool type and tag and yields
// a zero-filled object, or null (and no constructor run) when memory is short.
class PoolObject {
 public:
  static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept {
    (void)poolType;  // the memory always comes from NdisAllocateMemoryWithTag
    return AllocateMemory(static_cast<ULONG>(size), tag, TRUE);
  }
  static void operator delete(void* pointer, POOL_TYPE, ULONG) noexcept { FreeMemory(pointer); }
  static void operator delete(void* pointer) noexcept { FreeMemory(pointer); }
};

// The body of every deleting destructor: the destructor chain, then the memory when asked.
template <class T>
void DestroyObject(T* object, ULONG flags) {
  object->~T();
  if (flags & kDestroyFreeMemory) FreeMemory(object);
}
