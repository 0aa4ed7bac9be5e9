// The buffers of an NDIS packet as the data path walks them, in chain order.
#pragma once

#include <platform.h>

#include "support/Annotations.h"

inline PNDIS_BUFFER FirstBufferOf(PNDIS_PACKET packet) { return packet->Private.Head; }
inline PNDIS_BUFFER NextBufferOf(PNDIS_BUFFER buffer) { return buffer->Next; }

// The buffer's system address, mapping it when the protocol left it unmapped; null when it
// cannot be mapped now.
IRQL_AT_MOST_DISPATCH inline PUCHAR SystemAddressOf(PNDIS_BUFFER buffer) {
  return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority));
}

// Copies count bytes from source into the packet's buffers, starting offset bytes into the
// packet; returns the number copied, fewer when the buffers end first or one of them cannot
// be mapped (the bytes behind it are not moved into another buffer's place).
IRQL_AT_MOST_DISPATCH UINT CopyToPacket(PNDIS_PACKET packet, UINT offset, const UCHAR* source, UINT count);
