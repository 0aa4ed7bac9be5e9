// One reusable transfer: its own IRP, a URB area, MDL-described data memory, and the frame
// cursor through which the adapter fills or reads it. Built once when a pipe is configured,
// reused for every transfer, and always returned to the pool it belongs to.
#pragma once

#include <platform.h>

#include "support/Annotations.h"
#include "transfer/DataArea.h"
#include "transfer/PoolElement.h"

class UsbPipe;

class TransferBuffer : public PoolElement {
 public:
  TransferBuffer();
  ~TransferBuffer();
  void Destroy(ULONG flags) override;
  // Allocates data memory, URB area and IRP, each only when its size is non-zero. On a failure
  // nothing stays allocated: STATUS_INSUFFICIENT_RESOURCES.
  IRQL_PASSIVE virtual NTSTATUS Initialise(UCHAR stackSize, ULONG urbLength, ULONG dataLength,
                                           BOOLEAN fromPages);
  // Frees IRP, URB area and data memory; safe to call again.
  IRQL_PASSIVE virtual VOID ReleaseResources();

  // The final status of the last transfer, from the IRP and the URB; also stored in 'status'.
  // STATUS_DEVICE_NOT_CONNECTED is the one value by which a removed device is recognised.
  IRQL_AT_MOST_DISPATCH NTSTATUS ComputeStatus();
  // Hands the buffer back to its pool; the caller must not touch it afterwards.
  IRQL_AT_MOST_DISPATCH VOID ReturnToPool();

  UsbPipe* pipe;            // the pipe that submitted it last
  BOOLEAN submitReturned;   // written under the pipe's lock
  BOOLEAN completed;        // written under the pipe's lock
  NTSTATUS status;
  ULONG length;             // bytes to send, or bytes received
  PURB urb;
  ULONG urbLength;
  PIRP irp;
  DataArea data;
  ListLink clientLink;      // the holder's own queue while the buffer is outside the pipe
  PUCHAR cursorStart;
  PUCHAR cursorEnd;
  ULONG cursorCapacity;
  ULONG cursorLength;
  PUCHAR cursorPosition;
};
