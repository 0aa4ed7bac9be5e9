// MiniportTransferData: NDIS asks, during an indication, for bytes of the frame behind its
// header. The frame is still in the receive buffer the indication named.
#include "adapter/Adapter.h"
#include "adapter/PacketBuffers.h"
#include "driver/MiniportHandlers.h"
#include "transfer/TransferBuffer.h"

NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred, NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset, UINT BytesToTransfer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  auto* buffer = static_cast<TransferBuffer*>(MiniportReceiveContext);
  *BytesTransferred = 0;
  ULONG bound = adapter->MaximumLookahead;
  if (ByteOffset > bound || BytesToTransfer > bound - ByteOffset) return NDIS_STATUS_FAILURE;
  // Bytes behind the frame are left-overs of earlier frames: as NDIS has it, a request that
  // reaches past the packet's end gets the rest of the packet from the offset on.
  UINT payload = buffer->cursorLength - kEthernetHeaderSize;
  UINT available = ByteOffset < payload ? payload - ByteOffset : 0;
  UINT count = BytesToTransfer < available ? BytesToTransfer : available;
  if (count == 0) return NDIS_STATUS_SUCCESS;
  *BytesTransferred = CopyToPacket(Packet, 0, buffer->cursorPosition + kEthernetHeaderSize + ByteOffset, count);
  return NDIS_STATUS_SUCCESS;
}

UINT CopyToPacket(PNDIS_PACKET packet, UINT offset, const UCHAR* source, UINT count) {
  UINT copied = 0;
  for (PNDIS_BUFFER part = FirstBufferOf(packet); part && count > 0; part = NextBufferOf(part)) {
    ULONG size = MmGetMdlByteCount(part);
    if (size == 0) continue;
    if (offset >= size) {
      offset -= size;
      continue;
    }
    PUCHAR address = SystemAddressOf(part);
    // Copying on into the next buffer would put these bytes where later ones belong.
    if (!address) break;
    UINT n = size - offset < count ? size - offset : count;
    RtlCopyMemory(address + offset, source, n);
    offset = 0;
    source += n;
    count -= n;
    copied += n;
  }
  return copied;
}
