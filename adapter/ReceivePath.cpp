// The receive path: the device hands each received buffer over under Lock; the receive timer
// indicates the queued frames to NDIS, gives the buffers back and lets the reads go out again.
#include "adapter/Adapter.h"
#include "ecm/NetworkDevice.h"
#include "transfer/TransferBuffer.h"

void Adapter::OnReceiveReady(TransferBuffer* buffer) {
  // The device holds Lock: only queue here, and indicate from the timer.
  ReceiveQueue.InsertTail(buffer);
  if (ReceiveEnabled) NdisMSetTimer(&ReceiveTimer, 0);
}

void Adapter::ReleaseReceiveQueueLocked() {
  while (TransferBuffer* buffer = ReceiveQueue.PopHead()) Device->ReleaseReceiveBuffer(buffer);
}

VOID NTAPI Adapter::DrainReceiveQueue(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                      PVOID systemSpecific3) {
  CHECK_IRQL_DISPATCH();
  auto* adapter = static_cast<Adapter*>(context);
  SpinLockGuard guard(adapter->Lock);
  // A frame that arrives while Lock is dropped for an indication re-arms the timer, and the
  // timer's DPC may then run on another processor beside this run. Two runs would indicate
  // side by side and the protocols could get the frames out of order: the later run leaves
  // the queue to this one, whose loop takes every buffer queued before it ends.
  // Before MiniportInitialize has returned the frames wait for FinishInitialize; once a stop
  // began they wait for the stop to give them back.
  if (adapter->ReceiveDraining || !adapter->MayIndicateLocked()) return;
  adapter->ReceiveDraining = TRUE;
  while (adapter->MayIndicateLocked()) {
    TransferBuffer* buffer = adapter->ReceiveQueue.PopHead();
    if (!buffer) break;
    adapter->IndicateFrame(buffer);
  }
  // Reads go out again only from here: the buffers just given back, and any left free.
  adapter->Device->ResumeReceive();
  adapter->ReceiveDraining = FALSE;
}

void Adapter::IndicateFrame(TransferBuffer* buffer) {
  CHECK_IRQL_DISPATCH();
  ULONG length = buffer->cursorLength;
  if (length <= kEthernetHeaderSize) {
    ++RcvError;
    Device->ReleaseReceiveBuffer(buffer);
    return;
  }
  PUCHAR frame = buffer->cursorPosition;
  UINT payload = length - kEthernetHeaderSize;
  {
    SpinLockReleaser unlocked(Lock);
    // The whole frame is the lookahead. The receive context names the buffer, so that
    // MiniportTransferData knows where this frame ends.
    NdisMEthIndicateReceive(MiniportAdapterHandle, buffer, frame, kEthernetHeaderSize, frame + kEthernetHeaderSize,
                            payload, payload);
    NdisMEthIndicateReceiveComplete(MiniportAdapterHandle);
  }
  ++RcvOk;
  Device->ReleaseReceiveBuffer(buffer);
}
