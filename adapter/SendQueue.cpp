// The send queue. FIXME: the transmit path (the pump that copies queued packets into device
// send buffers) is not built yet; until it is, every packet is completed at once without
// reaching the device, as while sending is disabled.
#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"

void Adapter::FlushSendQueue() {
  CHECK_IRQL_DISPATCH();
  while (PNDIS_PACKET packet = SendQueue.PopHead()) {
    // NDIS may call back into the adapter from the completion.
    SpinLockReleaser unlocked(Lock);
    NdisMSendComplete(MiniportAdapterHandle, packet, NDIS_STATUS_SUCCESS);
  }
}

void Adapter::OnTransmitReady() {
  SpinLockGuard guard(Lock);
  FlushSendQueue();
}

VOID NTAPI MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray, UINT NumberOfPackets) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  SpinLockGuard guard(adapter->Lock);
  for (UINT i = 0; i < NumberOfPackets; ++i)
    if (PacketArray[i]) adapter->SendQueue.InsertTail(PacketArray[i]);
  adapter->FlushSendQueue();
}
