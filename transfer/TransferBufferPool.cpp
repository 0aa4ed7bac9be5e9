#include "transfer/TransferBufferPool.h"

#include "support/PoolTags.h"
#include "transfer/TransferBuffer.h"

NTSTATUS TransferBufferPool::Fill(ULONG count, ULONG dataLength, UCHAR stackSize) {
  CHECK_IRQL_PASSIVE();
  bufferDataLength = dataLength;
  for (ULONG i = 0; i < count; ++i) {
    auto* buffer = new (NonPagedPool, kTagTransferBuffer) TransferBuffer();
    if (!buffer) {
      DestroyAll();
      return STATUS_NO_MEMORY;
    }
    if (!NT_SUCCESS(buffer->Initialise(stackSize, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                       dataLength, TRUE))) {
      buffer->Destroy(kDestroyFreeMemory);
      DestroyAll();
      return STATUS_NO_MEMORY;
    }
    AddNew(buffer);
  }
  return STATUS_SUCCESS;
}
