// Sets: the packet filter and the multicast list are kept and the filter passed to the device;
// the lookahead and protocol options are accepted and ignored; a power change pends until the
// device has closed or reopened its pipes.
#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"
#include "ecm/NetworkDevice.h"

namespace {

NDIS_STATUS InvalidLength(PULONG bytesNeeded) {
  *bytesNeeded = sizeof(ULONG);
  return NDIS_STATUS_INVALID_LENGTH;
}

NDIS_STATUS InvalidData(PULONG bytesNeeded) {
  *bytesNeeded = 0;
  return NDIS_STATUS_INVALID_DATA;
}

}  // namespace

NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                         ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  // Held across the device calls too: they only queue work.
  SpinLockGuard guard(adapter->Lock);
  return adapter->SetInformationLocked(Oid, InformationBuffer, InformationBufferLength, BytesRead, BytesNeeded);
}

NDIS_STATUS Adapter::SetInformationLocked(NDIS_OID oid, PVOID buffer, ULONG length, PULONG bytesRead,
                                          PULONG bytesNeeded) {
  switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
      if (length < sizeof(ULONG)) return InvalidLength(bytesNeeded);
      RtlCopyMemory(&PacketFilter, buffer, sizeof(ULONG));  // any bits are accepted
      Device->SetPacketFilter(PacketFilter);
      *bytesRead = sizeof(ULONG);
      return NDIS_STATUS_SUCCESS;
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_GEN_PROTOCOL_OPTIONS:
      // Every frame is indicated whole whatever lookahead is asked for.
      if (length < sizeof(ULONG)) return InvalidLength(bytesNeeded);
      *bytesRead = sizeof(ULONG);
      return NDIS_STATUS_SUCCESS;
    case OID_802_3_MULTICAST_LIST: {
      if (length % kMacAddressLength != 0) return InvalidData(bytesNeeded);
      ULONG count = length / kMacAddressLength;
      if (count > kMulticastListSize) count = kMulticastListSize;
      if (count) RtlCopyMemory(MulticastList, buffer, count * kMacAddressLength);  // an empty list may come without a buffer
      MulticastCount = count;
      // The device filters by packet type only; the list stays here.
      Device->SetPacketFilter(PacketFilter);
      *bytesRead = count * kMacAddressLength;
      return NDIS_STATUS_SUCCESS;
    }
    case OID_PNP_SET_POWER: {
      if (length != sizeof(ULONG)) return InvalidData(bytesNeeded);
      ULONG deviceState;
      RtlCopyMemory(&deviceState, buffer, sizeof deviceState);
      return SetPowerLocked(deviceState);
    }
    default:
      *bytesNeeded = 0;
      return NDIS_STATUS_NOT_SUPPORTED;
  }
}

// The device closes its pipes for any state but D0 and reopens them for D0, on a work item;
// the request completes from the request timer once it reports OnRequestFinished.
NDIS_STATUS Adapter::SetPowerLocked(ULONG deviceState) {
  DRIVER_VERIFY(!RequestPending);  // NDIS issues no request while a set pends
  RequestPending = TRUE;
  BOOLEAN queued = deviceState == NdisDeviceStateD0 ? Device->PowerUp() : Device->PowerDown();
  // No work item: the pipes stay as they are and the set completes at once, with success as
  // NDIS requires of a power set, the same as when the device could not reopen its pipes.
  if (!queued) NdisMSetTimer(&RequestCompleteTimer, 0);
  return NDIS_STATUS_PENDING;
}
