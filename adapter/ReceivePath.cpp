// The receive side. FIXME: frame indication (the receive queue drained by ReceiveTimer and
// MiniportTransferData) is not built yet; until it is, a received buffer goes straight back
// to the device and nothing is indicated.
#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"
#include "ecm/NetworkDevice.h"

void Adapter::OnReceiveReady(TransferBuffer* buffer) { Device->ReleaseReceiveBuffer(buffer); }

VOID NTAPI Adapter::DrainReceiveQueue(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                      PVOID systemSpecific3) {
  CHECK_IRQL_DISPATCH();
  auto* adapter = static_cast<Adapter*>(context);
  SpinLockGuard guard(adapter->Lock);
  adapter->Device->ResumeReceive();
}

NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred, NDIS_HANDLE MiniportAdapterContext,
                                       NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset, UINT BytesToTransfer) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  *BytesTransferred = 0;
  return NDIS_STATUS_FAILURE;
}
