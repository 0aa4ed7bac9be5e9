#include "transfer/BufferPool.h"

#include "support/KSpinLockGuard.h"
#include "transfer/TransferBuffer.h"

BufferPool::BufferPool() : lock(0), freeList(LINK_OFFSET(TransferBuffer, link)), createdCount(0), freeCount(0) {
  InitializeSpinLock(&lock, "BufferPool::lock");
}

void BufferPool::Destroy(ULONG flags) { DestroyObject(this, flags); }

// Atomic, since FreeCountHint reads it without the lock; a plain store on the target.
VOID BufferPool::SetFreeCountLocked(ULONG count) { __atomic_store_n(&freeCount, count, __ATOMIC_RELAXED); }

VOID BufferPool::AddNew(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  buffer->index = createdCount;
  buffer->pool = this;
  freeList.InsertTail(buffer);
  createdCount++;
  SetFreeCountLocked(freeCount + 1);
}

TransferBuffer* BufferPool::Take() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  TransferBuffer* buffer = freeList.PopHead();
  if (buffer) {
    SetFreeCountLocked(freeCount - 1);
    outstanding.Increment();
  }
  return buffer;
}

VOID BufferPool::PutBack(TransferBuffer* buffer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  KSpinLockGuard guard(lock);
  // A buffer comes home exactly once: one still on a list was returned already or is in flight.
  DRIVER_VERIFY(!buffer->link.IsLinked());
  DRIVER_VERIFY(outstanding.count > 0);
  freeList.InsertTail(buffer);
  SetFreeCountLocked(freeCount + 1);
  outstanding.Decrement();
}

VOID BufferPool::DestroyAll() {
  CHECK_IRQL_PASSIVE();
  IntrusiveListOf<TransferBuffer> doomed(freeList.linkOffset);
  {
    KSpinLockGuard guard(lock);
    freeList.MoveAllTo(doomed);
    createdCount = 0;
    SetFreeCountLocked(0);
  }
  while (TransferBuffer* buffer = doomed.PopHead()) DestroyElement(buffer);
}

VOID BufferPool::DestroyElement(TransferBuffer* buffer) {
  if (buffer) buffer->Destroy(kDestroyFreeMemory);
}
