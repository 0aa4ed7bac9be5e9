// NDIS 5.1 miniport declarations for the host build, with the platform's names.
// The emulator (emu/ndis) implements the functions.
#pragma once

#include "kernel.h"

typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef int NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef ULONG NDIS_OID;
typedef NDIS_OID* PNDIS_OID;
typedef ULONG NDIS_ERROR_CODE;
typedef UNICODE_STRING NDIS_STRING;
typedef NDIS_STRING* PNDIS_STRING;
typedef MDL NDIS_BUFFER;
typedef NDIS_BUFFER* PNDIS_BUFFER;
typedef PHYSICAL_ADDRESS NDIS_PHYSICAL_ADDRESS;

#define NDIS_STATUS_SUCCESS ((NDIS_STATUS)STATUS_SUCCESS)
#define NDIS_STATUS_PENDING ((NDIS_STATUS)STATUS_PENDING)
#define NDIS_STATUS_MEDIA_CONNECT ((NDIS_STATUS)0x4001000BL)
#define NDIS_STATUS_MEDIA_DISCONNECT ((NDIS_STATUS)0x4001000CL)
#define NDIS_STATUS_FAILURE ((NDIS_STATUS)STATUS_UNSUCCESSFUL)
#define NDIS_STATUS_RESOURCES ((NDIS_STATUS)STATUS_INSUFFICIENT_RESOURCES)
#define NDIS_STATUS_NOT_SUPPORTED ((NDIS_STATUS)STATUS_NOT_SUPPORTED)
#define NDIS_STATUS_INVALID_LENGTH ((NDIS_STATUS)0xC0010014L)
#define NDIS_STATUS_INVALID_DATA ((NDIS_STATUS)0xC0010015L)
#define NDIS_STATUS_UNSUPPORTED_MEDIA ((NDIS_STATUS)0xC0010019L)
#define NDIS_STATUS_BAD_VERSION ((NDIS_STATUS)0xC0010004L)
#define NDIS_STATUS_BAD_CHARACTERISTICS ((NDIS_STATUS)0xC0010005L)
#define NDIS_STATUS_ADAPTER_NOT_READY ((NDIS_STATUS)0xC0010011L)
#define NDIS_STATUS_RESET_IN_PROGRESS ((NDIS_STATUS)0xC001000DL)
#define NDIS_STATUS_HARD_ERRORS ((NDIS_STATUS)0x80010004L)

typedef enum _NDIS_MEDIUM {
  NdisMedium802_3 = 0,
  NdisMedium802_5 = 1,
  NdisMediumFddi = 2,
  NdisMediumWan = 3,
  NdisMediumLocalTalk = 4,
  NdisMediumDix = 5,
} NDIS_MEDIUM, *PNDIS_MEDIUM;

typedef enum _NDIS_INTERFACE_TYPE {
  NdisInterfaceInternal = 0,
  NdisInterfacePci = 5,
  NdisInterfacePcMcia = 8,
} NDIS_INTERFACE_TYPE;

typedef enum _NDIS_HARDWARE_STATUS {
  NdisHardwareStatusReady = 0,
  NdisHardwareStatusInitializing = 1,
  NdisHardwareStatusReset = 2,
  NdisHardwareStatusClosing = 3,
  NdisHardwareStatusNotReady = 4,
} NDIS_HARDWARE_STATUS;

typedef enum _NDIS_MEDIA_STATE {
  NdisMediaStateConnected = 0,
  NdisMediaStateDisconnected = 1,
} NDIS_MEDIA_STATE;

typedef enum _NDIS_DEVICE_POWER_STATE {
  NdisDeviceStateUnspecified = 0,
  NdisDeviceStateD0 = 1,
  NdisDeviceStateD1 = 2,
  NdisDeviceStateD2 = 3,
  NdisDeviceStateD3 = 4,
} NDIS_DEVICE_POWER_STATE;

typedef enum _NDIS_DEVICE_PNP_EVENT {
  NdisDevicePnPEventQueryRemoved = 0,
  NdisDevicePnPEventRemoved = 1,
  NdisDevicePnPEventSurpriseRemoved = 2,
  NdisDevicePnPEventQueryStopped = 3,
  NdisDevicePnPEventStopped = 4,
  NdisDevicePnPEventPowerProfileChanged = 5,
} NDIS_DEVICE_PNP_EVENT;

typedef enum _NDIS_PARAMETER_TYPE {
  NdisParameterInteger = 0,
  NdisParameterHexInteger = 1,
  NdisParameterString = 2,
  NdisParameterMultiString = 3,
  NdisParameterBinary = 4,
} NDIS_PARAMETER_TYPE;

typedef struct _BINARY_DATA {
  USHORT Length;
  PVOID Buffer;
} BINARY_DATA;

typedef struct _NDIS_CONFIGURATION_PARAMETER {
  NDIS_PARAMETER_TYPE ParameterType;
  union {
    ULONG IntegerData;
    NDIS_STRING StringData;
    BINARY_DATA BinaryData;
  } ParameterData;
} NDIS_CONFIGURATION_PARAMETER, *PNDIS_CONFIGURATION_PARAMETER;

#define NDIS_ATTRIBUTE_IGNORE_PACKET_TIMEOUT 0x00000001
#define NDIS_ATTRIBUTE_IGNORE_REQUEST_TIMEOUT 0x00000002
#define NDIS_ATTRIBUTE_IGNORE_TOKEN_RING_ERRORS 0x00000004
#define NDIS_ATTRIBUTE_BUS_MASTER 0x00000008
#define NDIS_ATTRIBUTE_INTERMEDIATE_DRIVER 0x00000010
#define NDIS_ATTRIBUTE_DESERIALIZE 0x00000020
#define NDIS_ATTRIBUTE_NO_HALT_ON_SUSPEND 0x00000040
#define NDIS_ATTRIBUTE_SURPRISE_REMOVE_OK 0x00000080

#define NDIS_PACKET_TYPE_DIRECTED 0x00000001
#define NDIS_PACKET_TYPE_MULTICAST 0x00000002
#define NDIS_PACKET_TYPE_ALL_MULTICAST 0x00000004
#define NDIS_PACKET_TYPE_BROADCAST 0x00000008
#define NDIS_PACKET_TYPE_SOURCE_ROUTING 0x00000010
#define NDIS_PACKET_TYPE_PROMISCUOUS 0x00000020

#define NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA 0x00000001
#define NDIS_MAC_OPTION_RECEIVE_SERIALIZED 0x00000002
#define NDIS_MAC_OPTION_TRANSFERS_NOT_PEND 0x00000004
#define NDIS_MAC_OPTION_NO_LOOPBACK 0x00000008

#define OID_GEN_SUPPORTED_LIST 0x00010101
#define OID_GEN_HARDWARE_STATUS 0x00010102
#define OID_GEN_MEDIA_SUPPORTED 0x00010103
#define OID_GEN_MEDIA_IN_USE 0x00010104
#define OID_GEN_MAXIMUM_LOOKAHEAD 0x00010105
#define OID_GEN_MAXIMUM_FRAME_SIZE 0x00010106
#define OID_GEN_LINK_SPEED 0x00010107
#define OID_GEN_TRANSMIT_BUFFER_SPACE 0x00010108
#define OID_GEN_RECEIVE_BUFFER_SPACE 0x00010109
#define OID_GEN_TRANSMIT_BLOCK_SIZE 0x0001010A
#define OID_GEN_RECEIVE_BLOCK_SIZE 0x0001010B
#define OID_GEN_VENDOR_ID 0x0001010C
#define OID_GEN_VENDOR_DESCRIPTION 0x0001010D
#define OID_GEN_CURRENT_PACKET_FILTER 0x0001010E
#define OID_GEN_CURRENT_LOOKAHEAD 0x0001010F
#define OID_GEN_DRIVER_VERSION 0x00010110
#define OID_GEN_MAXIMUM_TOTAL_SIZE 0x00010111
#define OID_GEN_PROTOCOL_OPTIONS 0x00010112
#define OID_GEN_MAC_OPTIONS 0x00010113
#define OID_GEN_MEDIA_CONNECT_STATUS 0x00010114
#define OID_GEN_MAXIMUM_SEND_PACKETS 0x00010115
#define OID_GEN_VENDOR_DRIVER_VERSION 0x00010116
#define OID_GEN_XMIT_OK 0x00020101
#define OID_GEN_RCV_OK 0x00020102
#define OID_GEN_XMIT_ERROR 0x00020103
#define OID_GEN_RCV_ERROR 0x00020104
#define OID_GEN_RCV_NO_BUFFER 0x00020105
#define OID_802_3_PERMANENT_ADDRESS 0x01010101
#define OID_802_3_CURRENT_ADDRESS 0x01010102
#define OID_802_3_MULTICAST_LIST 0x01010103
#define OID_802_3_MAXIMUM_LIST_SIZE 0x01010104
#define OID_802_3_MAC_OPTIONS 0x01010105
#define OID_802_3_RCV_ERROR_ALIGNMENT 0x01020101
#define OID_802_3_XMIT_ONE_COLLISION 0x01020102
#define OID_802_3_XMIT_MORE_COLLISIONS 0x01020103
#define OID_PNP_CAPABILITIES 0xFD010100
#define OID_PNP_SET_POWER 0xFD010101
#define OID_PNP_QUERY_POWER 0xFD010102

typedef struct _NDIS_PACKET_PRIVATE {
  UINT PhysicalCount;
  UINT TotalLength;
  PNDIS_BUFFER Head;
  PNDIS_BUFFER Tail;
  PVOID Pool;
  UINT Count;
  ULONG Flags;
  BOOLEAN ValidCounts;
  UCHAR NdisPacketFlags;
  USHORT NdisPacketOobOffset;
} NDIS_PACKET_PRIVATE, *PNDIS_PACKET_PRIVATE;

typedef struct _NDIS_PACKET {
  NDIS_PACKET_PRIVATE Private;
  union {
    struct {
      UCHAR MiniportReserved[2 * sizeof(PVOID)];
      UCHAR WrapperReserved[2 * sizeof(PVOID)];
    };
    struct {
      UCHAR MiniportReservedEx[3 * sizeof(PVOID)];
      UCHAR WrapperReservedEx[sizeof(PVOID)];
    };
    struct {
      UCHAR MacReserved[4 * sizeof(PVOID)];
    };
  };
  ULONG_PTR Reserved[2];
  UCHAR ProtocolReserved[1];
} NDIS_PACKET, *PNDIS_PACKET, **PPNDIS_PACKET;

typedef VOID(NTAPI* PNDIS_TIMER_FUNCTION)(PVOID SystemSpecific1, PVOID FunctionContext,
                                          PVOID SystemSpecific2, PVOID SystemSpecific3);

typedef struct _NDIS_TIMER {
  KTIMER Timer;
  KDPC Dpc;
} NDIS_TIMER, *PNDIS_TIMER;

typedef struct _NDIS_MINIPORT_TIMER {
  KTIMER Timer;
  KDPC Dpc;
  PNDIS_TIMER_FUNCTION MiniportTimerFunction;
  PVOID MiniportTimerContext;
  PVOID Miniport;
  struct _NDIS_MINIPORT_TIMER* NextDeferredTimer;
} NDIS_MINIPORT_TIMER, *PNDIS_MINIPORT_TIMER;

typedef BOOLEAN(NTAPI* W_CHECK_FOR_HANG_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_DISABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_ENABLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HALT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef VOID(NTAPI* W_HANDLE_INTERRUPT_HANDLER)(NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_INITIALIZE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                 PUINT SelectedMediumIndex,
                                                 PNDIS_MEDIUM MediumArray,
                                                 UINT MediumArraySize,
                                                 NDIS_HANDLE MiniportAdapterContext,
                                                 NDIS_HANDLE WrapperConfigurationContext);
typedef VOID(NTAPI* W_ISR_HANDLER)(PBOOLEAN InterruptRecognized,
                                   PBOOLEAN QueueMiniportHandleInterrupt,
                                   NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_QUERY_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                        NDIS_OID Oid, PVOID InformationBuffer,
                                                        ULONG InformationBufferLength,
                                                        PULONG BytesWritten,
                                                        PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_RECONFIGURE_HANDLER)(PNDIS_STATUS OpenErrorStatus,
                                                  NDIS_HANDLE MiniportAdapterContext,
                                                  NDIS_HANDLE WrapperConfigurationContext);
typedef NDIS_STATUS(NTAPI* W_RESET_HANDLER)(PBOOLEAN AddressingReset,
                                            NDIS_HANDLE MiniportAdapterContext);
typedef NDIS_STATUS(NTAPI* W_SEND_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                           PNDIS_PACKET Packet, UINT Flags);
typedef NDIS_STATUS(NTAPI* W_SET_INFORMATION_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                      NDIS_OID Oid, PVOID InformationBuffer,
                                                      ULONG InformationBufferLength,
                                                      PULONG BytesRead, PULONG BytesNeeded);
typedef NDIS_STATUS(NTAPI* W_TRANSFER_DATA_HANDLER)(PNDIS_PACKET Packet,
                                                    PUINT BytesTransferred,
                                                    NDIS_HANDLE MiniportAdapterContext,
                                                    NDIS_HANDLE MiniportReceiveContext,
                                                    UINT ByteOffset, UINT BytesToTransfer);
typedef VOID(NTAPI* W_RETURN_PACKET_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                             PNDIS_PACKET Packet);
typedef VOID(NTAPI* W_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                            PPNDIS_PACKET PacketArray, UINT NumberOfPackets);
typedef VOID(NTAPI* W_ALLOCATE_COMPLETE_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                 PVOID VirtualAddress,
                                                 NDIS_PHYSICAL_ADDRESS* PhysicalAddress,
                                                 ULONG Length, PVOID Context);
typedef VOID(NTAPI* W_CANCEL_SEND_PACKETS_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                   PVOID CancelId);
typedef VOID(NTAPI* W_PNP_EVENT_NOTIFY_HANDLER)(NDIS_HANDLE MiniportAdapterContext,
                                                NDIS_DEVICE_PNP_EVENT PnPEvent,
                                                PVOID InformationBuffer,
                                                ULONG InformationBufferLength);
typedef VOID(NTAPI* W_MINIPORT_SHUTDOWN_HANDLER)(PVOID ShutdownContext);
typedef PVOID W_CO_CREATE_VC_HANDLER;
typedef PVOID W_CO_DELETE_VC_HANDLER;
typedef PVOID W_CO_ACTIVATE_VC_HANDLER;
typedef PVOID W_CO_DEACTIVATE_VC_HANDLER;
typedef PVOID W_CO_SEND_PACKETS_HANDLER;
typedef PVOID W_CO_REQUEST_HANDLER;
typedef struct _CM_RESOURCE_LIST CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// Nested the way the kit nests them in C++, so the driver names members identically.
typedef struct _NDIS30_MINIPORT_CHARACTERISTICS {
  UCHAR MajorNdisVersion;
  UCHAR MinorNdisVersion;
  UINT Reserved;
  W_CHECK_FOR_HANG_HANDLER CheckForHangHandler;
  W_DISABLE_INTERRUPT_HANDLER DisableInterruptHandler;
  W_ENABLE_INTERRUPT_HANDLER EnableInterruptHandler;
  W_HALT_HANDLER HaltHandler;
  W_HANDLE_INTERRUPT_HANDLER HandleInterruptHandler;
  W_INITIALIZE_HANDLER InitializeHandler;
  W_ISR_HANDLER ISRHandler;
  W_QUERY_INFORMATION_HANDLER QueryInformationHandler;
  W_RECONFIGURE_HANDLER ReconfigureHandler;
  W_RESET_HANDLER ResetHandler;
  W_SEND_HANDLER SendHandler;
  W_SET_INFORMATION_HANDLER SetInformationHandler;
  W_TRANSFER_DATA_HANDLER TransferDataHandler;
} NDIS30_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS40_MINIPORT_CHARACTERISTICS {
  NDIS30_MINIPORT_CHARACTERISTICS Ndis30Chars;
  W_RETURN_PACKET_HANDLER ReturnPacketHandler;
  W_SEND_PACKETS_HANDLER SendPacketsHandler;
  W_ALLOCATE_COMPLETE_HANDLER AllocateCompleteHandler;
} NDIS40_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS50_MINIPORT_CHARACTERISTICS {
  NDIS40_MINIPORT_CHARACTERISTICS Ndis40Chars;
  W_CO_CREATE_VC_HANDLER CoCreateVcHandler;
  W_CO_DELETE_VC_HANDLER CoDeleteVcHandler;
  W_CO_ACTIVATE_VC_HANDLER CoActivateVcHandler;
  W_CO_DEACTIVATE_VC_HANDLER CoDeactivateVcHandler;
  W_CO_SEND_PACKETS_HANDLER CoSendPacketsHandler;
  W_CO_REQUEST_HANDLER CoRequestHandler;
} NDIS50_MINIPORT_CHARACTERISTICS;

typedef struct _NDIS51_MINIPORT_CHARACTERISTICS {
  NDIS50_MINIPORT_CHARACTERISTICS Ndis50Chars;
  W_CANCEL_SEND_PACKETS_HANDLER CancelSendPacketsHandler;
  W_PNP_EVENT_NOTIFY_HANDLER PnPEventNotifyHandler;
  W_MINIPORT_SHUTDOWN_HANDLER AdapterShutdownHandler;
  PVOID Reserved1;
  PVOID Reserved2;
  PVOID Reserved3;
  PVOID Reserved4;
} NDIS51_MINIPORT_CHARACTERISTICS, NDIS_MINIPORT_CHARACTERISTICS,
    *PNDIS_MINIPORT_CHARACTERISTICS;

extern "C" {

VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1,
                                 PVOID SystemSpecific2, PVOID SystemSpecific3);
NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength);
VOID NTAPI NdisMRegisterUnloadHandler(NDIS_HANDLE NdisWrapperHandle,
                                      PDRIVER_UNLOAD UnloadHandler);
VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific);

NDIS_STATUS NTAPI NdisAllocateMemoryWithTag(PVOID* VirtualAddress, UINT Length, ULONG Tag);
VOID NTAPI NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT MemoryFlags);

VOID NTAPI NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                                 NDIS_HANDLE WrapperConfigurationContext);
VOID NTAPI NdisReadConfiguration(PNDIS_STATUS Status,
                                 PNDIS_CONFIGURATION_PARAMETER* ParameterValue,
                                 NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                                 NDIS_PARAMETER_TYPE ParameterType);
VOID NTAPI NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID* NetworkAddress,
                                  PUINT NetworkAddressLength, NDIS_HANDLE ConfigurationHandle);
VOID NTAPI NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle);

VOID NTAPI NdisMSetAttributesEx(NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE MiniportAdapterContext,
                                UINT CheckForHangTimeInSeconds, ULONG AttributeFlags,
                                NDIS_INTERFACE_TYPE AdapterType);
VOID NTAPI NdisMGetDeviceProperty(NDIS_HANDLE MiniportAdapterHandle,
                                  PDEVICE_OBJECT* PhysicalDeviceObject,
                                  PDEVICE_OBJECT* FunctionalDeviceObject,
                                  PDEVICE_OBJECT* NextDeviceObject,
                                  PCM_RESOURCE_LIST* AllocatedResources,
                                  PCM_RESOURCE_LIST* AllocatedResourcesTranslated);
VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...);

VOID NTAPI NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                                PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext);
VOID NTAPI NdisSetTimer(PNDIS_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMSetTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondsToDelay);
VOID NTAPI NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled);

VOID NTAPI NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                               PVOID StatusBuffer, UINT StatusBufferSize);
VOID NTAPI NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle);
VOID NTAPI NdisMResetComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status,
                              BOOLEAN AddressingReset);
VOID NTAPI NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet,
                             NDIS_STATUS Status);
VOID NTAPI NdisMEthIndicateReceive(NDIS_HANDLE MiniportAdapterHandle,
                                   NDIS_HANDLE MiniportReceiveContext, PVOID HeaderBuffer,
                                   UINT HeaderBufferSize, PVOID LookaheadBuffer,
                                   UINT LookaheadBufferSize, UINT PacketSize);
VOID NTAPI NdisMEthIndicateReceiveComplete(NDIS_HANDLE MiniportAdapterHandle);
VOID NTAPI NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status);

}  // extern "C"

#define NdisMInitializeWrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2, \
                               SystemSpecific3)                                     \
  NdisInitializeWrapper((NdisWrapperHandle), (SystemSpecific1), (SystemSpecific2),  \
                        (SystemSpecific3))

inline VOID NdisQueryPacket(PNDIS_PACKET Packet, PUINT PhysicalBufferCount, PUINT BufferCount,
                            PNDIS_BUFFER* FirstBuffer, PUINT TotalPacketLength) {
  if (FirstBuffer) *FirstBuffer = Packet->Private.Head;
  if (PhysicalBufferCount || BufferCount || TotalPacketLength) {
    UINT count = 0;
    UINT total = 0;
    for (PNDIS_BUFFER b = Packet->Private.Head; b; b = b->Next) {
      count++;
      total += b->ByteCount;
    }
    if (PhysicalBufferCount) *PhysicalBufferCount = count;
    if (BufferCount) *BufferCount = count;
    if (TotalPacketLength) *TotalPacketLength = total;
  }
}

#define NdisGetNextBuffer(CurrentBuffer, NextBuffer) \
  { *(NextBuffer) = (CurrentBuffer)->Next; }
