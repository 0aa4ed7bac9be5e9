// NDIS_DEVICE_PNP_EVENT as NDIS numbers it; it must precede ndis.h, which uses the type.
#pragma once

typedef enum _NDIS_DEVICE_PNP_EVENT {
  NdisDevicePnPEventQueryRemoved,
  NdisDevicePnPEventRemoved,
  NdisDevicePnPEventSurpriseRemoved,
  NdisDevicePnPEventQueryStopped,
  NdisDevicePnPEventStopped,
  NdisDevicePnPEventPowerProfileChanged,
  NdisDevicePnPEventMaximum
} NDIS_DEVICE_PNP_EVENT, *PNDIS_DEVICE_PNP_EVENT;
