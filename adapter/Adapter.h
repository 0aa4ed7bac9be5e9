// One USB device as an NDIS adapter: what NDIS asks about, the data path's queues, flags and
// timers, and the USB function it owns. NDIS hands it back to every handler as the context.
#pragma once

#include <platform.h>

#include "adapter/AdapterSettings.h"
#include "adapter/DeviceEventSink.h"
#include "support/Annotations.h"
#include "support/DeferredCall.h"
#include "support/IntrusiveList.h"
#include "support/Memory.h"
#include "support/SpinLock.h"
#include "support/UnlockedRead.h"
#include "usb/UsbTarget.h"

class DescriptorBuffer;
class NetworkDevice;

constexpr ULONG kMulticastListSize = 8;
constexpr ULONG kEthernetHeaderSize = 14;
constexpr ULONG kMacAddressLength = 6;

class Adapter : public DeviceEventSink, public PoolObject {
 public:
  explicit Adapter(NDIS_HANDLE miniportAdapterHandle);
  ~Adapter();
  void Destroy(ULONG flags) { DestroyObject(this, flags); }  // deleting destructor, not virtual
  Adapter(const Adapter&) = delete;
  Adapter& operator=(const Adapter&) = delete;

  // The bring-up sequence, in three stages: settings and device objects; the USB function
  // (descriptor and device); the device's start, sizes, pipes and address.
  IRQL_PASSIVE NDIS_STATUS StartDevice(NDIS_HANDLE wrapperConfigurationContext);
  IRQL_PASSIVE NDIS_STATUS ReadSettings(NDIS_HANDLE wrapperConfigurationContext);
  IRQL_PASSIVE NDIS_STATUS CreateDevice(DescriptorBuffer& descriptor);
  IRQL_PASSIVE NDIS_STATUS BringUpDevice();
  // The last step of a successful MiniportInitialize: NDIS may hear of the adapter's frames
  // from now on, those held during the bring-up first.
  IRQL_PASSIVE void FinishInitialize();
  // Surprise removal and halt; a second run on a stopped adapter is harmless.
  IRQL_PASSIVE void StopDevice();
  // Completes the queued packets at once and closes and reopens the pipes on a work item.
  // NDIS_STATUS_PENDING when that work is queued; NdisMResetComplete follows exactly once.
  IRQL_AT_MOST_DISPATCH NDIS_STATUS ResetDevice();
  // Completes every queued packet with NDIS_STATUS_SUCCESS, dropping Lock around each.
  IRQL_DISPATCH void FlushSendQueue();
  // Gives every queued received buffer back to the device unindicated; Lock held.
  IRQL_DISPATCH void ReleaseReceiveQueueLocked();
  // Copies queued packets into device send buffers while the device has one; Lock held.
  IRQL_DISPATCH void PumpSendQueue();
  // Indicates one received frame to NDIS and gives its buffer back; Lock held, dropped
  // around the indication.
  IRQL_DISPATCH void IndicateFrame(TransferBuffer* buffer);
  // Initialized and not stopping: frames may reach NDIS; Lock held.
  BOOLEAN MayIndicateLocked() const { return Initialized && ReceiveEnabled; }
  // The information handlers' bodies, Lock held.
  IRQL_DISPATCH NDIS_STATUS QueryInformationLocked(NDIS_OID oid, PVOID buffer, ULONG length, PULONG bytesWritten,
                                                   PULONG bytesNeeded);
  IRQL_DISPATCH NDIS_STATUS SetInformationLocked(NDIS_OID oid, PVOID buffer, ULONG length, PULONG bytesRead,
                                                 PULONG bytesNeeded);
  // Completes the set that pended, if it has not been completed yet; Lock not held.
  IRQL_AT_MOST_DISPATCH void CompletePendingRequest();

  // DeviceEventSink
  void OnLinkStateChanged(BOOLEAN connected) override;
  void OnLinkSpeedChanged(ULONG downlinkBitRate, ULONG uplinkBitRate) override;
  void OnTransmitReady() override;
  void OnReceiveReady(TransferBuffer* buffer) override;
  void OnRequestFinished() override;
  void OnRequestFinishedAlias() override { OnRequestFinished(); }

  ListLink Link;  // in the driver's Adapters list
  SpinLock Lock;  // guards the send and receive queues and flags and the statistics; outer to
                  // every pipe, pool and deferred-call lock; dropped around calls into NDIS
  // From the end of a successful MiniportInitialize to the start of MiniportHalt; written
  // under Lock, read without it by the link-state paths.
  UnlockedRead<BOOLEAN> Initialized;
  ULONG InstanceNumber;
  ULONG InstanceId;
  NDIS_HANDLE MiniportAdapterHandle;
  UnlockedRead<NDIS_HARDWARE_STATUS> HardwareStatus;  // written without Lock by start and stop, read under it
  UnlockedRead<NDIS_MEDIA_STATE> MediaState;  // one aligned word, written and read without Lock
  ULONG TransmitBufferSpace;
  ULONG ReceiveBufferSpace;
  UCHAR PermanentAddress[kMacAddressLength];
  UCHAR CurrentAddress[kMacAddressLength];
  UnlockedRead<ULONG> LinkSpeed;  // units of 100 bit/s; one aligned word, written and read without Lock
  ULONG MaximumLookahead;
  ULONG MaximumTotalSize;
  ULONG PacketFilter;
  UCHAR MulticastList[kMulticastListSize][kMacAddressLength];
  ULONG MulticastCount;
  UCHAR PnpCapabilities[12];
  AdapterSettings Settings;  // written by ReadSettings only
  BOOLEAN SendEnabled;                  // Lock
  IntrusiveListOf<NDIS_PACKET> SendQueue;  // Lock; linked through MiniportReserved
  BOOLEAN ReceiveEnabled;               // Lock
  IntrusiveListOf<TransferBuffer> ReceiveQueue;  // Lock
  BOOLEAN ReceiveDraining;  // Lock; a DrainReceiveQueue run is taking the queue, so no other may
  NDIS_MINIPORT_TIMER ReceiveTimer;
  ULONG XmitOk;  // Lock, like the other counters
  ULONG XmitError;
  ULONG RcvOk;
  ULONG RcvError;
  ULONG RcvNoBuffer;
  UsbTarget Target;
  NetworkDevice* Device;  // owned
  NDIS_MINIPORT_TIMER RequestCompleteTimer;
  NDIS_MINIPORT_TIMER MediaStatusTimer;
  // Lock; from a set answered with NDIS_STATUS_PENDING to its NdisMSetInformationComplete,
  // so that the request timer and the stop complete it exactly once between them.
  BOOLEAN RequestPending;

  // The reset's close and reopen run at PASSIVE_LEVEL on this work item.
  PDEVICE_OBJECT FunctionalDevice;  // the work item's device object
  DeferredCall ResetCall;
  BOOLEAN ResetPending;  // Lock; from MiniportReset's NDIS_STATUS_PENDING to NdisMResetComplete
  // Makes the reset's close and reopen and StopDevice's close and Stop exclusive. Outermost
  // lock of the adapter: taken before any pipe mutex and before Lock.
  KMUTEX PipeMutex;
  // Written under PipeMutex, read by the hang check: StopDevice ran, so a reset leaves the
  // pipes closed.
  UnlockedRead<BOOLEAN> DeviceStopped;

 private:
  static VOID ResetRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  // Timer routines, at DISPATCH_LEVEL; the function context is the adapter.
  static VOID NTAPI DrainReceiveQueue(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                      PVOID systemSpecific3);
  static VOID NTAPI CompleteRequest(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                    PVOID systemSpecific3);
  static VOID NTAPI IndicateMediaStatus(PVOID systemSpecific1, PVOID context, PVOID systemSpecific2,
                                        PVOID systemSpecific3);
  IRQL_PASSIVE void ResetPipes();
  // The transmit path's steps, Lock held.
  enum class FrameFill { Filled, TooLong, Unmappable };
  FrameFill FillFrame(PNDIS_PACKET packet, TransferBuffer* buffer);
  void CompleteSendLocked(PNDIS_PACKET packet, NDIS_STATUS status);
  // The answer to a query: its bytes, or FALSE for an OID not answered.
  BOOLEAN FindQueryAnswerLocked(NDIS_OID oid, ULONG* scratch, const void** source, ULONG* length);
  NDIS_STATUS SetPowerLocked(ULONG deviceState);
  IRQL_PASSIVE NDIS_STATUS GetDeviceObjects();
  void ForgetDeviceObjects();
  IRQL_PASSIVE void CancelTimersAndWait();
};
