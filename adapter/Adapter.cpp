#include "adapter/Adapter.h"

#include "ecm/NetworkDevice.h"
#include "support/MutexGuard.h"
#include "transfer/TransferBuffer.h"

namespace {

const UCHAR kDefaultAddress[kMacAddressLength] = {0xAE, 0xDE, 0x48, 0x02, 0x01, 0x00};

}  // namespace

Adapter::Adapter(NDIS_HANDLE miniportAdapterHandle)
    : Lock("Adapter::Lock"),
      Initialized(FALSE),
      InstanceNumber(0),
      InstanceId(0),
      MiniportAdapterHandle(miniportAdapterHandle),
      HardwareStatus(NdisHardwareStatusInitializing),
      MediaState(NdisMediaStateDisconnected),
      TransmitBufferSpace(0),
      ReceiveBufferSpace(0),
      LinkSpeed(250000),
      MaximumLookahead(1500),
      MaximumTotalSize(1514),
      PacketFilter(0),
      MulticastCount(0),
      SendEnabled(FALSE),
      SendQueue(static_cast<ULONG>(offsetof(NDIS_PACKET, MiniportReserved))),
      ReceiveEnabled(FALSE),
      ReceiveQueue(LINK_OFFSET(TransferBuffer, clientLink)),
      ReceiveDraining(FALSE),
      XmitOk(0),
      XmitError(0),
      RcvOk(0),
      RcvError(0),
      RcvNoBuffer(0),
      Device(nullptr),
      RequestPending(FALSE),
      FunctionalDevice(nullptr),
      ResetPending(FALSE),
      DeviceStopped(FALSE) {
  RtlCopyMemory(PermanentAddress, kDefaultAddress, kMacAddressLength);
  RtlCopyMemory(CurrentAddress, kDefaultAddress, kMacAddressLength);
  RtlZeroMemory(MulticastList, sizeof MulticastList);
  RtlZeroMemory(PnpCapabilities, sizeof PnpCapabilities);
  InitializeMutex(&PipeMutex, "Adapter::PipeMutex");
  NdisMInitializeTimer(&ReceiveTimer, MiniportAdapterHandle, DrainReceiveQueue, this);
  NdisMInitializeTimer(&RequestCompleteTimer, MiniportAdapterHandle, CompleteRequest, this);
  NdisMInitializeTimer(&MediaStatusTimer, MiniportAdapterHandle, IndicateMediaStatus, this);
}

Adapter::~Adapter() {
  // A reset still queued has to reach NDIS: it is waited for, not cancelled.
  ResetCall.Wait();
  // StopDevice cancelled the timers, but a timer routine whose DPC was queued already still
  // runs (the receive drain calls the device), here or on another processor.
  CancelTimersAndWait();
  if (Device) Device->Destroy(kDestroyFreeMemory);
  // Work of the device that ended meanwhile (a power change reporting OnRequestFinished) may
  // have armed a timer again: the memory must outlive it.
  CancelTimersAndWait();
}

void Adapter::CancelTimersAndWait() {
  BOOLEAN wasPending;
  NdisMCancelTimer(&ReceiveTimer, &wasPending);
  NdisMCancelTimer(&RequestCompleteTimer, &wasPending);
  NdisMCancelTimer(&MediaStatusTimer, &wasPending);
  KeFlushQueuedDpcs();
}
