#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"

VOID NTAPI MiniportPnPEventNotify(NDIS_HANDLE MiniportAdapterContext, NDIS_DEVICE_PNP_EVENT PnPEvent,
                                  PVOID InformationBuffer, ULONG InformationBufferLength) {
  CHECK_IRQL_PASSIVE();
  // The device is gone: stop now rather than at halt, which runs the stop sequence again.
  if (PnPEvent == NdisDevicePnPEventSurpriseRemoved) static_cast<Adapter*>(MiniportAdapterContext)->StopDevice();
}

VOID NTAPI MiniportShutdown(PVOID ShutdownContext) {}
