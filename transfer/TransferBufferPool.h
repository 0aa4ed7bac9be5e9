// The pool of one pipe: fills itself with TransferBuffers whose data memory comes from pages.
#pragma once

#include "transfer/BufferPool.h"

class TransferBufferPool : public BufferPool {
 public:
  TransferBufferPool() : bufferDataLength(0) {}
  void Destroy(ULONG flags) override { DestroyObject(this, flags); }
  ~TransferBufferPool() { DestroyAll(); }

  // STATUS_SUCCESS, or STATUS_NO_MEMORY with the pool left empty and nothing leaked.
  IRQL_PASSIVE NTSTATUS Fill(ULONG count, ULONG dataLength, UCHAR stackSize);

  ULONG bufferDataLength;
};
