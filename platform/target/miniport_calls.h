// How driver code reaches the NDIS calls that the kit writes as macros through
// NDIS_MINIPORT_BLOCK. The block is NDIS's private state, so every such call that ndis.sys
// exports goes to the export instead; the few fields still used are asserted in layout_checks.h.
#pragma once

#undef NdisMSendComplete
#undef NdisMSetInformationComplete
#undef NdisMResetComplete
#undef NdisMIndicateStatus
#undef NdisMIndicateStatusComplete
#undef NdisMEthIndicateReceive
#undef NdisMEthIndicateReceiveComplete

extern "C" {

NDISAPI VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                                     NDIS_STATUS Status);
NDISAPI VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle,
                                               NDIS_STATUS Status);
NDISAPI VOID NTAPI NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                                      BOOLEAN AddressingReset);
NDISAPI VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle,
                                       NDIS_STATUS GeneralStatus, PVOID StatusBuffer,
                                       UINT StatusBufferSize);
NDISAPI VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);

}  // extern "C"

// The receive indications have no export (the import library has none), so they go through
// the block as the kit's macros do. Functions rather than those macros, so the arguments
// convert as in any call (the macros hand a PVOID to a PCHAR parameter, which C++ refuses).
inline VOID NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle,
                                    NDIS_HANDLE MiniportReceiveContext, PVOID HeaderBuffer,
                                    UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                    UINT LookaheadBufferSize, UINT PacketSize) {
  PNDIS_MINIPORT_BLOCK block = (PNDIS_MINIPORT_BLOCK)MiniportAdapterHandle;
  block->EthRxIndicateHandler(block->EthDB, MiniportReceiveContext, (PCHAR)HeaderBuffer,
                              HeaderBuffer, HeaderBufferSize, LookaheadBuffer,
                              LookaheadBufferSize, PacketSize);
}

inline VOID NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle) {
  PNDIS_MINIPORT_BLOCK block = (PNDIS_MINIPORT_BLOCK)MiniportAdapterHandle;
  block->EthRxCompleteHandler(block->EthDB);
}
