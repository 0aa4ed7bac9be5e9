// FIXME: the information requests (the supported OIDs, the packet filter, the multicast list
// and power) are not built yet; until they are, every OID is refused as not supported.
#include "adapter/Adapter.h"
#include "driver/MiniportHandlers.h"

NDIS_STATUS NTAPI MiniportQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                           ULONG InformationBufferLength, PULONG BytesWritten, PULONG BytesNeeded) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  return NDIS_STATUS_NOT_SUPPORTED;
}

NDIS_STATUS NTAPI MiniportSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid, PVOID InformationBuffer,
                                         ULONG InformationBufferLength, PULONG BytesRead, PULONG BytesNeeded) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  *BytesNeeded = 0;
  return NDIS_STATUS_NOT_SUPPORTED;
}
