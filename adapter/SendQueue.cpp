// The transmit path: packets queue through their MiniportReserved area, and the pump copies
// each into a device send buffer and completes it as soon as that buffer is submitted.
#include "adapter/Adapter.h"
#include "adapter/PacketBuffers.h"
#include "driver/MiniportHandlers.h"
#include "ecm/NetworkDevice.h"
#include "transfer/TransferBuffer.h"

VOID NTAPI MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray, UINT NumberOfPackets) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  SpinLockGuard guard(adapter->Lock);
  for (UINT i = 0; i < NumberOfPackets; ++i)
    if (PacketArray[i]) adapter->SendQueue.InsertTail(PacketArray[i]);
  if (adapter->SendEnabled) adapter->PumpSendQueue();
  else adapter->FlushSendQueue();
}

void Adapter::OnTransmitReady() {
  SpinLockGuard guard(Lock);
  if (SendEnabled) PumpSendQueue();
  else FlushSendQueue();
}

void Adapter::PumpSendQueue() {
  CHECK_IRQL_DISPATCH();
  for (;;) {
    if (SendQueue.IsEmpty()) {
      Device->EndSendBatch();
      return;
    }
    // Without a send buffer the packets wait for the next write completion or send.
    if (!Device->CanSend()) return;
    TransferBuffer* buffer = Device->GetSendBuffer();
    if (!buffer) return;
    // Packet and buffer are taken and the frame submitted within one hold of Lock, so frames
    // reach the device in queue order even when another processor pumps while Lock is dropped.
    PNDIS_PACKET packet = SendQueue.PopHead();
    if (!SendEnabled) {
      // Cleared while Lock was dropped for an earlier completion: nothing more is sent.
      CompleteSendLocked(packet, NDIS_STATUS_SUCCESS);
      ++XmitOk;
      Device->ReleaseSendBuffer(buffer);
      continue;
    }
    FrameFill fill = FillFrame(packet, buffer);
    if (fill == FrameFill::Filled) Device->SubmitSendBuffer(buffer);  // the device's until its write completes
    else Device->ReleaseSendBuffer(buffer);
    if (fill == FrameFill::Unmappable) {
      // Sending the rest would put a frame with a hole on the wire: the packet fails whole.
      CompleteSendLocked(packet, NDIS_STATUS_RESOURCES);
      ++XmitError;
    } else {
      // A frame too long for the buffer is dropped, yet completed and counted as sent.
      CompleteSendLocked(packet, NDIS_STATUS_SUCCESS);
      ++XmitOk;
    }
  }
}

// Concatenates the packet's buffers into the frame through the buffer's cursor. The last byte
// of the buffer is never used, so a frame holds at most cursorCapacity - 1 bytes.
Adapter::FrameFill Adapter::FillFrame(PNDIS_PACKET packet, TransferBuffer* buffer) {
  for (PNDIS_BUFFER part = FirstBufferOf(packet); part; part = NextBufferOf(part)) {
    ULONG length = MmGetMdlByteCount(part);
    if (length == 0) continue;
    PUCHAR address = SystemAddressOf(part);
    if (!address) return FrameFill::Unmappable;
    if (length >= static_cast<ULONG>(buffer->cursorEnd - buffer->cursorPosition)) return FrameFill::TooLong;
    RtlCopyMemory(buffer->cursorPosition, address, length);
    buffer->cursorPosition += length;
    buffer->cursorLength += length;
  }
  return FrameFill::Filled;
}

void Adapter::FlushSendQueue() {
  CHECK_IRQL_DISPATCH();
  while (PNDIS_PACKET packet = SendQueue.PopHead()) CompleteSendLocked(packet, NDIS_STATUS_SUCCESS);
}

void Adapter::CompleteSendLocked(PNDIS_PACKET packet, NDIS_STATUS status) {
  // NDIS and the protocols may call back into the adapter (a new send) from the completion.
  SpinLockReleaser unlocked(Lock);
  NdisMSendComplete(MiniportAdapterHandle, packet, status);
}
