// Link state, link speed and the completion of a pended request. NDIS hears of them only from
// the adapter's timer routines, never from the device's context.
#include "adapter/Adapter.h"

namespace {

constexpr UINT kMediaStatusDelayMs = 100;

}  // namespace

void Adapter::OnLinkStateChanged(BOOLEAN connected) {
  MediaState = connected ? NdisMediaStateConnected : NdisMediaStateDisconnected;
  // Changes within the delay re-arm the timer: NDIS hears the latest state once.
  if (Initialized) NdisMSetTimer(&MediaStatusTimer, kMediaStatusDelayMs);
  if (!connected) return;
  // Frames queued while the receive timer was not armed are drained now.
  SpinLockGuard guard(Lock);
  if (ReceiveEnabled) NdisMSetTimer(&ReceiveTimer, 0);
}

void Adapter::OnLinkSpeedChanged(ULONG downlinkBitRate, ULONG uplinkBitRate) { LinkSpeed = uplinkBitRate / 100; }

void Adapter::OnRequestFinished() { NdisMSetTimer(&RequestCompleteTimer, 0); }

VOID NTAPI Adapter::IndicateMediaStatus(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                        PVOID systemSpecific3) {
  CHECK_IRQL_DISPATCH();
  auto* adapter = static_cast<Adapter*>(context);
  if (!adapter->Initialized) return;
  NDIS_STATUS status = adapter->MediaState == NdisMediaStateConnected ? NDIS_STATUS_MEDIA_CONNECT
                                                                       : NDIS_STATUS_MEDIA_DISCONNECT;
  NdisMIndicateStatus(adapter->MiniportAdapterHandle, status, nullptr, 0);
  NdisMIndicateStatusComplete(adapter->MiniportAdapterHandle);
}

VOID NTAPI Adapter::CompleteRequest(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                    PVOID systemSpecific3) {
  CHECK_IRQL_DISPATCH();
  static_cast<Adapter*>(context)->CompletePendingRequest();
}

void Adapter::CompletePendingRequest() {
  {
    SpinLockGuard guard(Lock);
    // Completed already (by the stop), or nothing pends: the timer also runs for a power
    // change that finished after the stop had completed its request.
    if (!RequestPending) return;
    // Cleared first: NDIS may issue the next request from the completion.
    RequestPending = FALSE;
  }
  NdisMSetInformationComplete(MiniportAdapterHandle, NDIS_STATUS_SUCCESS);
}
