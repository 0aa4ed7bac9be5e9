// What a buffer pool needs of its elements: a link for the free list, a creation index and
// the owning pool. The root declares only the deleting destructor.
#pragma once

#include <platform.h>

#include "support/IntrusiveList.h"
#include "support/Memory.h"

class BufferPool;

class ObjectRoot : public PoolObject {
 public:
  // The deleting destructor: runs the destructor chain; kDestroyFreeMemory frees the memory.
  virtual void Destroy(ULONG flags) = 0;

 protected:
  ~ObjectRoot() = default;
};

class PoolElement : public ObjectRoot {
 public:
  ListLink link;      // on the pool's free list or a pipe's outstanding list, never both
  ULONG index;        // creation index within the pool, for diagnosis
  BufferPool* pool;   // set when the pool registers the element; never changes

 protected:
  PoolElement() : index(0), pool(nullptr) {}
  ~PoolElement() = default;
};
