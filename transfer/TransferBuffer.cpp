#include "transfer/TransferBuffer.h"

#include "support/PoolTags.h"
#include "transfer/BufferPool.h"

TransferBuffer::TransferBuffer()
    : pipe(nullptr),
      submitReturned(FALSE),
      completed(FALSE),
      status(STATUS_UNSUCCESSFUL),
      length(0),
      urb(nullptr),
      urbLength(0),
      irp(nullptr),
      cursorStart(nullptr),
      cursorEnd(nullptr),
      cursorCapacity(0),
      cursorLength(0),
      cursorPosition(nullptr) {}

TransferBuffer::~TransferBuffer() { TransferBuffer::ReleaseResources(); }

void TransferBuffer::Destroy(ULONG flags) { DestroyObject(this, flags); }

NTSTATUS TransferBuffer::Initialise(UCHAR stackSize, ULONG urbBytes, ULONG dataLength, BOOLEAN fromPages) {
  CHECK_IRQL_PASSIVE();
  if (dataLength != 0) {
    NTSTATUS allocated = data.Allocate(dataLength, fromPages);
    if (!NT_SUCCESS(allocated)) {
      ReleaseResources();
      return allocated;
    }
  }
  if (urbBytes != 0) {
    urb = static_cast<PURB>(AllocatePool(NonPagedPool, urbBytes, kTagUrb, TRUE));
    if (!urb) {
      ReleaseResources();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    urbLength = urbBytes;
  }
  if (stackSize != 0) {
    irp = IoAllocateIrp(static_cast<CCHAR>(stackSize), FALSE);
    if (!irp) {
      ReleaseResources();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

VOID TransferBuffer::ReleaseResources() {
  if (irp) {
    IoFreeIrp(irp);
    irp = nullptr;
  }
  if (urb) {
    FreePool(urb);
    urb = nullptr;
    urbLength = 0;
  }
  data.Free();
}

NTSTATUS TransferBuffer::ComputeStatus() {
  NTSTATUS irpStatus = irp->IoStatus.Status;
  USBD_STATUS urbStatus = urb->UrbHeader.Status;
  NTSTATUS result;
  if (!NT_SUCCESS(irpStatus)) {
    bool gone = irpStatus == STATUS_DEVICE_NOT_CONNECTED || irpStatus == STATUS_NO_SUCH_DEVICE;
    result = gone ? STATUS_DEVICE_NOT_CONNECTED : irpStatus;
  } else if (!USBD_SUCCESS(urbStatus)) {
    result = urbStatus == USBD_STATUS_DEVICE_GONE ? STATUS_DEVICE_NOT_CONNECTED : STATUS_UNSUCCESSFUL;
  } else {
    result = STATUS_SUCCESS;
  }
  status = result;
  return result;
}

VOID TransferBuffer::ReturnToPool() { pool->PutBack(this); }
