// The free list and counts of a pipe's buffers. Take and PutBack are constant-time list
// operations under one spin lock; nothing is allocated after the pool is filled.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "support/CountedEvent.h"
#include "support/IntrusiveList.h"
#include "transfer/PoolElement.h"

class TransferBuffer;

class BufferPool {
 public:
  BufferPool();
  virtual void Destroy(ULONG flags);  // deleting destructor
  ~BufferPool() = default;
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // Registers a newly built buffer and puts it on the free list.
  IRQL_AT_MOST_DISPATCH VOID AddNew(TransferBuffer* buffer);
  // Oldest free buffer (first in, first out), or null when none is free.
  IRQL_AT_MOST_DISPATCH TransferBuffer* Take();
  IRQL_AT_MOST_DISPATCH VOID PutBack(TransferBuffer* buffer);
  // Destroys the buffers on the free list; buffers out of the pool are not touched, so owners
  // call it only when every buffer is home.
  IRQL_PASSIVE VOID DestroyAll();
  virtual VOID DestroyElement(TransferBuffer* buffer);
  // Free buffers as last counted, read without the lock: a hint that may be a moment stale.
  ULONG FreeCountHint() const { return __atomic_load_n(&freeCount, __ATOMIC_RELAXED); }

  KSPIN_LOCK lock;                        // guards freeList, createdCount, freeCount; after a pipe's locks
  IntrusiveListOf<TransferBuffer> freeList;
  CountedEvent outstanding;               // buffers taken and not yet put back
  ULONG createdCount;                     // the next buffer's index
  volatile ULONG freeCount;               // written by SetFreeCountLocked only, for FreeCountHint

 private:
  VOID SetFreeCountLocked(ULONG count);
};
