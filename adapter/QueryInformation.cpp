// Queries are answered from the adapter's own members and constants; none reaches the device.
#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"

namespace {

// In the order of the answers below; OID_GEN_PROTOCOL_OPTIONS and OID_PNP_SET_POWER are
// listed though only set.
const NDIS_OID kSupportedOids[] = {
    OID_GEN_SUPPORTED_LIST,        OID_GEN_HARDWARE_STATUS,        OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,          OID_GEN_MAXIMUM_LOOKAHEAD,      OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,            OID_GEN_TRANSMIT_BUFFER_SPACE,  OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,   OID_GEN_RECEIVE_BLOCK_SIZE,     OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,    OID_GEN_CURRENT_PACKET_FILTER,  OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,        OID_GEN_MAXIMUM_TOTAL_SIZE,     OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,           OID_GEN_MEDIA_CONNECT_STATUS,   OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_VENDOR_DRIVER_VERSION, OID_GEN_XMIT_OK,                OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,            OID_GEN_RCV_ERROR,              OID_GEN_RCV_NO_BUFFER,
    OID_802_3_PERMANENT_ADDRESS,   OID_802_3_CURRENT_ADDRESS,      OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,   OID_802_3_MAC_OPTIONS,          OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,  OID_802_3_XMIT_MORE_COLLISIONS, OID_PNP_CAPABILITIES,
    OID_PNP_SET_POWER,             OID_PNP_QUERY_POWER,
};
static_assert(sizeof kSupportedOids == 38 * 4, "38 OIDs of four bytes");

const char kVendorDescription[] = "NDIS Adapter";
static_assert(sizeof kVendorDescription == 13, "the description with its NUL");

constexpr ULONG kNdisVersion = 0x0501;  // answered in two bytes
constexpr ULONG kVendorDriverVersion = 0x00010010;
constexpr ULONG kMacOptions = NDIS_MAC_OPTION_COPY_LOOKAHEAD_DATA | NDIS_MAC_OPTION_RECEIVE_SERIALIZED |
                              NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | NDIS_MAC_OPTION_NO_LOOPBACK;

}  // namespace

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  SpinLockGuard guard(adapter->Lock);
  return adapter->QueryInformationLocked(Oid, InformationBuffer, InformationBufferLength, BytesWritten, BytesNeeded);
}

NDIS_STATUS Adapter::QueryInformationLocked(NDIS_OID oid, PVOID buffer, ULONG length, PULONG bytesWritten,
                                            PULONG bytesNeeded) {
  ULONG scratch = 0;
  const void* source = nullptr;
  ULONG answerLength = 0;
  if (!FindQueryAnswerLocked(oid, &scratch, &source, &answerLength)) return NDIS_STATUS_NOT_SUPPORTED;
  if (answerLength > length) {
    *bytesNeeded = answerLength;
    return NDIS_STATUS_INVALID_LENGTH;
  }
  if (answerLength) RtlCopyMemory(buffer, source, answerLength);
  *bytesWritten = answerLength;
  return NDIS_STATUS_SUCCESS;
}

// Four-byte answers are ULONGs, put in 'scratch' unless a member holds them.
BOOLEAN Adapter::FindQueryAnswerLocked(NDIS_OID oid, ULONG* scratch, const void** source, ULONG* length) {
  *source = scratch;
  *length = sizeof(ULONG);
  switch (oid) {
    case OID_GEN_SUPPORTED_LIST:
      *source = kSupportedOids;
      *length = sizeof kSupportedOids;
      return TRUE;
    case OID_GEN_HARDWARE_STATUS: *scratch = HardwareStatus; return TRUE;
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE: *scratch = NdisMedium802_3; return TRUE;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_MAXIMUM_FRAME_SIZE:
    case OID_GEN_CURRENT_LOOKAHEAD: *source = &MaximumLookahead; return TRUE;
    case OID_GEN_LINK_SPEED: *scratch = LinkSpeed; return TRUE;
    case OID_GEN_TRANSMIT_BUFFER_SPACE: *source = &TransmitBufferSpace; return TRUE;
    case OID_GEN_RECEIVE_BUFFER_SPACE: *source = &ReceiveBufferSpace; return TRUE;
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE: *source = &MaximumTotalSize; return TRUE;
    case OID_GEN_VENDOR_ID:
      // The address's first three bytes (the vendor's prefix), then a zero byte.
      RtlCopyMemory(scratch, PermanentAddress, 3);
      reinterpret_cast<PUCHAR>(scratch)[3] = 0;
      return TRUE;
    case OID_GEN_VENDOR_DESCRIPTION:
      *source = kVendorDescription;
      *length = sizeof kVendorDescription;
      return TRUE;
    case OID_GEN_CURRENT_PACKET_FILTER: *source = &PacketFilter; return TRUE;
    case OID_GEN_DRIVER_VERSION:
      *scratch = kNdisVersion;  // little-endian: the low two bytes come first
      *length = sizeof(USHORT);
      return TRUE;
    case OID_GEN_MAC_OPTIONS: *scratch = kMacOptions; return TRUE;
    case OID_GEN_MEDIA_CONNECT_STATUS: *scratch = MediaState; return TRUE;
    case OID_GEN_MAXIMUM_SEND_PACKETS: *source = &Settings.TxBuffers; return TRUE;
    case OID_GEN_VENDOR_DRIVER_VERSION: *scratch = kVendorDriverVersion; return TRUE;
    case OID_GEN_XMIT_OK: *source = &XmitOk; return TRUE;
    case OID_GEN_RCV_OK: *source = &RcvOk; return TRUE;
    case OID_GEN_XMIT_ERROR: *source = &XmitError; return TRUE;
    case OID_GEN_RCV_ERROR: *source = &RcvError; return TRUE;
    case OID_GEN_RCV_NO_BUFFER: *source = &RcvNoBuffer; return TRUE;
    case OID_802_3_PERMANENT_ADDRESS:
      *source = PermanentAddress;
      *length = kMacAddressLength;
      return TRUE;
    case OID_802_3_CURRENT_ADDRESS:
      *source = CurrentAddress;
      *length = kMacAddressLength;
      return TRUE;
    case OID_802_3_MULTICAST_LIST:
      *source = MulticastList;
      *length = kMacAddressLength * MulticastCount;
      return TRUE;
    case OID_802_3_MAXIMUM_LIST_SIZE: *scratch = kMulticastListSize; return TRUE;
    case OID_802_3_MAC_OPTIONS:
    case OID_802_3_RCV_ERROR_ALIGNMENT:
    case OID_802_3_XMIT_ONE_COLLISION:
    case OID_802_3_XMIT_MORE_COLLISIONS: *scratch = 0; return TRUE;
    case OID_PNP_CAPABILITIES:
      *source = PnpCapabilities;
      *length = sizeof PnpCapabilities;
      return TRUE;
    case OID_PNP_QUERY_POWER:
      *length = 0;  // every power state is acceptable
      return TRUE;
    default:
      // Also OID_GEN_PROTOCOL_OPTIONS and OID_PNP_SET_POWER, which are only set.
      return FALSE;
  }
}
