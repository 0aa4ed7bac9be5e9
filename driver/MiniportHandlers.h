// The driver's entry point and the routines it registers with NDIS, under their DDK names.
#pragma once

#include <platform.h>

#include "support/Annotations.h"

extern "C" IRQL_PASSIVE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

IRQL_PASSIVE VOID NTAPI MiniportUnload(PDRIVER_OBJECT DriverObject);
IRQL_PASSIVE NDIS_STATUS NTAPI MiniportInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                                  PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                                  NDIS_HANDLE MiniportAdapterHandle,
                                                  NDIS_HANDLE WrapperConfigurationContext);
IRQL_PASSIVE VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext);
IRQL_PASSIVE VOID NTAPI MiniportPnPEventNotify(NDIS_HANDLE MiniportAdapterContext, NDIS_DEVICE_PNP_EVENT PnPEvent,
                                               PVOID InformationBuffer, ULONG InformationBufferLength);
// Any IRQL; does nothing.
VOID NTAPI MiniportShutdown(PVOID ShutdownContext);
IRQL_AT_MOST_DISPATCH NDIS_STATUS NTAPI MiniportReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);
IRQL_DISPATCH BOOLEAN NTAPI MiniportCheckForHang(NDIS_HANDLE MiniportAdapterContext);
IRQL_AT_MOST_DISPATCH NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                                 PVOID InformationBuffer,
                                                                 ULONG InformationBufferLength,
                                                                 PULONG BytesWritten, PULONG BytesNeeded);
IRQL_AT_MOST_DISPATCH NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                                               PVOID InformationBuffer,
                                                               ULONG InformationBufferLength, PULONG BytesRead,
                                                               PULONG BytesNeeded);
IRQL_AT_MOST_DISPATCH VOID NTAPI MiniportSendPackets(NDIS_HANDLE MiniportAdapterContext, PPNDIS_PACKET PacketArray,
                                                     UINT NumberOfPackets);
IRQL_AT_MOST_DISPATCH NDIS_STATUS NTAPI MiniportTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                                             NDIS_HANDLE MiniportAdapterContext,
                                                             NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                                             UINT BytesToTransfer);
