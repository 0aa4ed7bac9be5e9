#include "TinyMiniport.h"

#include <algorithm>
#include <vector>

#include "support/PoolTags.h"

namespace tiny {

Fault fault;
TinyContext staticContext;
TinyContext* context;
KIRQL initializeIrql, haltIrql, sendIrql, resetIrql;
std::vector<PNDIS_PACKET> sentPackets;
NDIS_STATUS queryStatus = NDIS_STATUS_SUCCESS;
NDIS_STATUS setStatus = NDIS_STATUS_PENDING;
std::function<void(TinyContext&)> onInitialize, onHalt, onTimer;
std::function<BOOLEAN()> onCheckForHang;

namespace {

VOID NTAPI TimerRoutine(PVOID, PVOID timerContext, PVOID, PVOID) {
  auto* c = static_cast<TinyContext*>(timerContext);
  if (onTimer) onTimer(*c);
  c->fired++;
  c->firedAt = KeGetCurrentIrql();
}

VOID WorkRoutine(PDEVICE_OBJECT, PVOID item) { IoFreeWorkItem(static_cast<PIO_WORKITEM>(item)); }

BOOLEAN NTAPI TinyCheckForHang(NDIS_HANDLE) { return onCheckForHang ? onCheckForHang() : FALSE; }

NDIS_STATUS NTAPI TinyInitialize(PNDIS_STATUS, PUINT selected, PNDIS_MEDIUM, UINT, NDIS_HANDLE handle,
                                 NDIS_HANDLE configuration) {
  initializeIrql = KeGetCurrentIrql();
  *selected = 0;
  if (fault == Fault::TimerLeftArmed) {
    context = &staticContext;
  } else {
    PVOID memory = nullptr;
    if (NdisAllocateMemoryWithTag(&memory, sizeof(TinyContext), MakePoolTag('t', 'i', 'n', 'y')) != NDIS_STATUS_SUCCESS) return NDIS_STATUS_RESOURCES;
    context = static_cast<TinyContext*>(memory);
  }
  *context = TinyContext{};
  context->handle = handle;
  NdisMSetAttributesEx(handle, context, 0, NDIS_ATTRIBUTE_DESERIALIZE, NdisInterfaceInternal);
  NdisMInitializeTimer(&context->timer, handle, TimerRoutine, context);
  if (fault == Fault::IndicateInInitialize) NdisMIndicateStatus(handle, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
  if (fault == Fault::ConfigurationLeftOpen) {
    NDIS_STATUS status;
    NDIS_HANDLE open;
    NdisOpenConfiguration(&status, &open, configuration);
  }
  if (onInitialize) onInitialize(*context);
  return NDIS_STATUS_SUCCESS;
}

VOID NTAPI TinyHalt(NDIS_HANDLE adapter) {
  haltIrql = KeGetCurrentIrql();
  auto* c = static_cast<TinyContext*>(adapter);
  if (onHalt) onHalt(*c);
  BOOLEAN cancelled;
  switch (fault) {
    case Fault::IndicateInHalt: NdisMIndicateStatus(c->handle, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0); break;
    case Fault::TimerLeftArmed: NdisMSetTimer(&c->timer, 1000); return;
    case Fault::KeepContext: return;
    case Fault::WorkLeftQueued: {
      PDEVICE_OBJECT fdo = nullptr;
      NdisMGetDeviceProperty(c->handle, nullptr, &fdo, nullptr, nullptr, nullptr);
      PIO_WORKITEM item = IoAllocateWorkItem(fdo);
      IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, item);
      break;
    }
    default: break;
  }
  NdisMCancelTimer(&c->timer, &cancelled);
  NdisFreeMemory(c, 0, 0);
}

NDIS_STATUS NTAPI TinyReset(PBOOLEAN addressingReset, NDIS_HANDLE adapter) {
  resetIrql = KeGetCurrentIrql();
  *addressingReset = FALSE;
  if (fault == Fault::ResetFailsWithResources) return NDIS_STATUS_RESOURCES;
  if (fault != Fault::ResetCompletedTwice) return NDIS_STATUS_PENDING;
  NdisMResetComplete(static_cast<TinyContext*>(adapter)->handle, NDIS_STATUS_SUCCESS, FALSE);
  return NDIS_STATUS_SUCCESS;
}

VOID NTAPI TinySendPackets(NDIS_HANDLE, PPNDIS_PACKET packets, UINT count) {
  sendIrql = KeGetCurrentIrql();
  sentPackets.assign(packets, packets + count);
}

NDIS_STATUS NTAPI TinyQuery(NDIS_HANDLE, NDIS_OID, PVOID, ULONG, PULONG, PULONG) { return queryStatus; }
NDIS_STATUS NTAPI TinySet(NDIS_HANDLE adapter, NDIS_OID, PVOID, ULONG, PULONG, PULONG) {
  if (fault == Fault::SetAnsweredAndCompleted)
    NdisMSetInformationComplete(static_cast<TinyContext*>(adapter)->handle, NDIS_STATUS_SUCCESS);
  return setStatus;
}

NDIS_STATUS NTAPI TinyTransferData(PNDIS_PACKET packet, PUINT transferred, NDIS_HANDLE, NDIS_HANDLE receiveContext,
                                   UINT offset, UINT bytes) {
  if (fault == Fault::TransferPends) return NDIS_STATUS_PENDING;
  auto* payload = static_cast<const std::vector<UCHAR>*>(receiveContext);
  PNDIS_BUFFER buffer = packet->Private.Head;
  UINT available = offset < payload->size() ? static_cast<UINT>(payload->size()) - offset : 0;
  UINT count = std::min({bytes, available, MmGetMdlByteCount(buffer)});
  memcpy(MmGetSystemAddressForMdlSafe(buffer, NormalPagePriority), payload->data() + offset, count);
  *transferred = count;
  return NDIS_STATUS_SUCCESS;
}

}  // namespace

void ResetState() {
  fault = Fault::None;
  queryStatus = NDIS_STATUS_SUCCESS;
  setStatus = NDIS_STATUS_PENDING;
  onInitialize = nullptr;
  onHalt = nullptr;
  onTimer = nullptr;
  onCheckForHang = nullptr;
}

NTSTATUS NTAPI TinyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  NDIS_HANDLE wrapper;
  NdisMInitializeWrapper(&wrapper, driver, path, nullptr);
  NDIS_MINIPORT_CHARACTERISTICS table{};
  NDIS30_MINIPORT_CHARACTERISTICS& ndis30 = table.Ndis50Chars.Ndis40Chars.Ndis30Chars;
  ndis30.MajorNdisVersion = 5;
  ndis30.MinorNdisVersion = 1;
  ndis30.InitializeHandler = TinyInitialize;
  ndis30.HaltHandler = TinyHalt;
  ndis30.ResetHandler = TinyReset;
  ndis30.CheckForHangHandler = TinyCheckForHang;
  ndis30.QueryInformationHandler = TinyQuery;
  ndis30.SetInformationHandler = TinySet;
  ndis30.TransferDataHandler = TinyTransferData;
  table.Ndis50Chars.Ndis40Chars.SendPacketsHandler = TinySendPackets;
  return NdisMRegisterMiniport(wrapper, &table, sizeof table);
}

}  // namespace tiny
