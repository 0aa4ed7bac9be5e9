// Requests outside the data path, each carried out on a worker thread: the Ethernet packet
// filter sent to the communication interface, and the power transitions that close and
// reopen the pipes and then let the adapter complete its pended request.
#include "ecm/EcmDevice.h"
#include "support/MutexGuard.h"

namespace {

constexpr UCHAR kSetEthernetPacketFilter = 0x43;

struct FilterBit {
  UCHAR ndis;
  USHORT ecm;
};

// NDIS packet types and their ECM packet filter bits; NDIS bits not listed are dropped.
constexpr FilterBit kFilterBits[] = {
    {NDIS_PACKET_TYPE_PROMISCUOUS, 0x01}, {NDIS_PACKET_TYPE_ALL_MULTICAST, 0x02}, {NDIS_PACKET_TYPE_DIRECTED, 0x04},
    {NDIS_PACKET_TYPE_BROADCAST, 0x08},   {NDIS_PACKET_TYPE_MULTICAST, 0x10},
};

}  // namespace

BOOLEAN EcmDevice::SetPacketFilter(ULONG ndisPacketFilter) {
  CHECK_IRQL_AT_MOST_DISPATCH();
  USHORT ecmFilter = 0;
  for (const FilterBit& bit : kFilterBits)
    if (static_cast<UCHAR>(ndisPacketFilter) & bit.ndis) ecmFilter |= bit.ecm;
  EcmPacketFilter = ecmFilter;
  InterlockedExchange(&FilterUnsent, 1);
  return QueuePacketFilter();
}

// A request queued and not yet started goes out once, with the latest filter.
BOOLEAN EcmDevice::QueuePacketFilter() {
  BOOLEAN queued = FilterDeferredCall.Queue(DeviceObject, PacketFilterRoutine, this, nullptr, DelayedWorkQueue);
  InterlockedExchange(&FilterUnqueued, queued ? 0 : 1);
  return queued;
}

VOID EcmDevice::PacketFilterRoutine(PDEVICE_OBJECT, PVOID context, PVOID) {
  CHECK_IRQL_PASSIVE();
  auto* device = static_cast<EcmDevice*>(context);
  // Cleared before the filter is read: a set that comes later queues a run of its own.
  InterlockedExchange(&device->FilterUnsent, 0);
  // The request is optional for ECM devices: a refusal changes nothing on the host side.
  device->Target.ClassOrVendorRequest(URB_FUNCTION_CLASS_INTERFACE, kSetEthernetPacketFilter, device->EcmPacketFilter,
                                      device->CommunicationInterfaceNumber, 0, nullptr, nullptr, 0, nullptr,
                                      kEcmControlTimeoutMs, nullptr);
}

BOOLEAN EcmDevice::PowerUp() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  if (PowerDeferredCall.Queue(DeviceObject, PowerUpRoutine, this, nullptr, DelayedWorkQueue)) return TRUE;
  InterlockedExchange(&PowerUpUnqueued, 1);
  return FALSE;
}

BOOLEAN EcmDevice::PowerDown() {
  CHECK_IRQL_AT_MOST_DISPATCH();
  return PowerDeferredCall.Queue(DeviceObject, PowerDownRoutine, this, nullptr, DelayedWorkQueue);
}

// A failed reopen is not reported: the pipes show it. The request is finished either way.
VOID EcmDevice::PowerUpRoutine(PDEVICE_OBJECT, PVOID context, PVOID) {
  CHECK_IRQL_PASSIVE();
  auto* device = static_cast<EcmDevice*>(context);
  {
    MutexGuard guard(device->PipesMutex);
    InterlockedExchange(&device->PowerUpUnqueued, 0);
    // Pipes the adapter closed (a stop, or a reset between its close and reopen) are the
    // adapter's to reopen. Pipes no power-down closed (it found no work item, or this run
    // took its place) still run: starting them again would reset endpoints under transfers.
    if (device->PoweredDown && !device->PipesClosedByOwner) device->StartPipesLocked();
    device->PoweredDown = FALSE;
  }
  device->Sink->OnRequestFinished();
}

VOID EcmDevice::PowerDownRoutine(PDEVICE_OBJECT, PVOID context, PVOID) {
  CHECK_IRQL_PASSIVE();
  auto* device = static_cast<EcmDevice*>(context);
  {
    MutexGuard guard(device->PipesMutex);
    InterlockedExchange(&device->PowerUpUnqueued, 0);
    device->PoweredDown = TRUE;
    device->StopPipesLocked();
  }
  device->Sink->OnRequestFinished();
}
