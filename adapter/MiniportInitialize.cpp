#include "adapter/Adapter.h"
#include "adapter/ErrorLog.h"
#include "driver/MiniportDriver.h"
#include "driver/MiniportHandlers.h"
#include "support/PoolTags.h"

NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                     PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                     NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE WrapperConfigurationContext) {
  CHECK_IRQL_PASSIVE();
  UINT medium = 0;
  while (medium < MediumArraySize && MediumArray[medium] != NdisMedium802_3) ++medium;
  if (medium == MediumArraySize) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorUnsupportedMedium, 0);
    return NDIS_STATUS_UNSUPPORTED_MEDIA;
  }
  *SelectedMediumIndex = medium;

  Adapter* adapter = new (NonPagedPool, kTagAdapter) Adapter(MiniportAdapterHandle);
  if (!adapter) {
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorAdapterAllocation, 0);
    return NDIS_STATUS_RESOURCES;
  }
  NDIS_STATUS status = adapter->StartDevice(WrapperConfigurationContext);
  if (status != NDIS_STATUS_SUCCESS) {
    adapter->Destroy(kDestroyFreeMemory);
    NdisWriteErrorLogEntry(MiniportAdapterHandle, kErrorStart, 1, kStartDeviceFailed);
    return status;
  }
  // Listed only once started: a failed adapter uses up neither a number nor an id.
  TheMiniportDriver->RegisterAdapter(adapter);
  *OpenErrorStatus = NDIS_STATUS_SUCCESS;
  adapter->FinishInitialize();
  return NDIS_STATUS_SUCCESS;
}

void Adapter::FinishInitialize() {
  CHECK_IRQL_PASSIVE();
  SpinLockGuard guard(Lock);
  Initialized = TRUE;
  // A device that sends as soon as it is up may have filled receive buffers that no drain could
  // indicate yet. Should they hold every buffer, no read is out, and with the link reported
  // already nothing else would arm the timer: receiving would stop for good.
  if (!ReceiveQueue.IsEmpty()) NdisMSetTimer(&ReceiveTimer, 0);
}
