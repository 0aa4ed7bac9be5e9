// The toolchain's kernel kit headers, included once with the work-arounds they need in C++.
#pragma once

#define NDIS_MINIPORT_DRIVER
#define NDIS51_MINIPORT

// intrin.h and wdm.h both define these two; keep wdm.h's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// usbdlib.h has no extern "C" of its own: without this the imports get C++-mangled names that
// no module exports.
extern "C" {

#include <ntddk.h>

// netpnp.h numbers NDIS_DEVICE_PNP_EVENT wrongly (surprise removal as 0 where NDIS passes 2):
// its enum is renamed out of the way before ndis.h uses the type, and the platform's declared.
#define _NDIS_DEVICE_PNP_EVENT KitNdisDevicePnpEventMisnumbered
#define NDIS_DEVICE_PNP_EVENT KIT_NDIS_DEVICE_PNP_EVENT_MISNUMBERED
#define PNDIS_DEVICE_PNP_EVENT PKIT_NDIS_DEVICE_PNP_EVENT_MISNUMBERED
#define NdisDevicePnPEventSurpriseRemoved KitNdisDevicePnPEventSurpriseRemoved
#define NdisDevicePnPEventPowerProfileChanged KitNdisDevicePnPEventPowerProfileChanged
#define NdisDevicePnPEventMaximum KitNdisDevicePnPEventMaximum
#include <netpnp.h>
#undef _NDIS_DEVICE_PNP_EVENT
#undef NDIS_DEVICE_PNP_EVENT
#undef PNDIS_DEVICE_PNP_EVENT
#undef NdisDevicePnPEventSurpriseRemoved
#undef NdisDevicePnPEventPowerProfileChanged
#undef NdisDevicePnPEventMaximum
#include "ndis_device_pnp_event.h"

// ntddndis.h defines the request-type enum first; ndis.h defines it again, so its copy is
// renamed out of the way. ndis.h also redefines two protocol-id macros, spelling the same hex
// value in upper case, which draws a warning: ntddndis.h's are dropped.
#include <ntddndis.h>
#undef NDIS_PROTOCOL_ID_MAX
#undef NDIS_PROTOCOL_ID_MASK
#define _NDIS_REQUEST_TYPE KitNdisRequestTypeDuplicate
#define NDIS_REQUEST_TYPE KIT_NDIS_REQUEST_TYPE_DUPLICATE
#define PNDIS_REQUEST_TYPE PKIT_NDIS_REQUEST_TYPE_DUPLICATE
#define NdisRequestQueryInformation KitNdisRequestQueryInformation
#define NdisRequestSetInformation KitNdisRequestSetInformation
#define NdisRequestQueryStatistics KitNdisRequestQueryStatistics
#define NdisRequestOpen KitNdisRequestOpen
#define NdisRequestClose KitNdisRequestClose
#define NdisRequestSend KitNdisRequestSend
#define NdisRequestTransferData KitNdisRequestTransferData
#define NdisRequestReset KitNdisRequestReset
#define NdisRequestGeneric1 KitNdisRequestGeneric1
#define NdisRequestGeneric2 KitNdisRequestGeneric2
#define NdisRequestGeneric3 KitNdisRequestGeneric3
#define NdisRequestGeneric4 KitNdisRequestGeneric4
// The import library names this cdecl export as if it were stdcall; kit_repairs.h declares it
// under that name.
#define NdisWriteErrorLogEntry KitNdisWriteErrorLogEntry
// ndis.h lacks a comma in this one declaration; a one-argument macro swallows the parameters.
#define NdisMWanIndicateReceiveComplete(parameters) NdisMWanIndicateReceiveComplete()
#include <ndis.h>
#undef NdisMWanIndicateReceiveComplete
#undef NdisWriteErrorLogEntry
#undef _NDIS_REQUEST_TYPE
#undef NDIS_REQUEST_TYPE
#undef PNDIS_REQUEST_TYPE
#undef NdisRequestQueryInformation
#undef NdisRequestSetInformation
#undef NdisRequestQueryStatistics
#undef NdisRequestOpen
#undef NdisRequestClose
#undef NdisRequestSend
#undef NdisRequestTransferData
#undef NdisRequestReset
#undef NdisRequestGeneric1
#undef NdisRequestGeneric2
#undef NdisRequestGeneric3
#undef NdisRequestGeneric4

#include <usb.h>
#include <usbioctl.h>
#include <usbdlib.h>

}  // extern "C"
