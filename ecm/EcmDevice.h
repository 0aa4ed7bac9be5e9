// The USB side of one adapter: a CDC Ethernet Control Model function. Start recognises the
// function and puts it into service; from then on the adapter reaches it only through the
// NetworkDevice table, and it reports back through the adapter's DeviceEventSink. It owns its
// pipes, their buffers, the selection and the descriptor copy.
#pragma once

#include <platform.h>

#include "ecm/NetworkDevice.h"
#include "ecm/NotificationClient.h"
#include "support/DeferredCall.h"
#include "transfer/PipeClients.h"
#include "transfer/ReadPipe.h"
#include "transfer/WritePipe.h"
#include "usb/ConfigurationSelector.h"
#include "usb/DescriptorBuffer.h"
#include "usb/UsbTarget.h"

constexpr ULONG kEcmControlTimeoutMs = 500;
constexpr ULONG kDefaultMaxSegmentSize = 1514;
constexpr ULONG kEcmMacAddressLength = 6;

class EcmDevice : public NetworkDevice, public WritePipeClient, public ReadPipeClient {
 public:
  EcmDevice();
  // Only through Destroy. Deconfiguring is Stop's; the pipes go while the target still leads
  // to the device, so one whose drain gave up can still abort what it has in flight.
  ~EcmDevice();
  EcmDevice(const EcmDevice&) = delete;
  EcmDevice& operator=(const EcmDevice&) = delete;

  void Destroy(ULONG flags) override;
  IRQL_PASSIVE NTSTATUS Start(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT physicalDevice,
                              PDEVICE_OBJECT lowerDevice, DeviceEventSink* sink, AdapterSettings* settings,
                              SpinLock* adapterLock) override;
  IRQL_PASSIVE NTSTATUS Stop() override;
  IRQL_PASSIVE NTSTATUS OpenPipes() override;
  IRQL_PASSIVE NTSTATUS ClosePipes() override;
  IRQL_AT_MOST_DISPATCH BOOLEAN PowerUp() override;
  IRQL_AT_MOST_DISPATCH BOOLEAN PowerDown() override;
  BOOLEAN GetMacAddress(UCHAR* address) override;
  IRQL_AT_MOST_DISPATCH BOOLEAN CanSend() override;
  IRQL_AT_MOST_DISPATCH TransferBuffer* GetSendBuffer() override;
  IRQL_AT_MOST_DISPATCH void SubmitSendBuffer(TransferBuffer* buffer) override;
  IRQL_AT_MOST_DISPATCH void EndSendBatch() override;
  IRQL_AT_MOST_DISPATCH void ReleaseSendBuffer(TransferBuffer* buffer) override;
  IRQL_AT_MOST_DISPATCH void ReleaseReceiveBuffer(TransferBuffer* buffer) override;
  IRQL_AT_MOST_DISPATCH void ResumeReceive() override;
  ULONG GetMaxSegmentSize() override;
  IRQL_AT_MOST_DISPATCH BOOLEAN SetPacketFilter(ULONG ndisPacketFilter) override;
  IRQL_AT_MOST_DISPATCH BOOLEAN NeedsReset() override;

  // The bulk pipes' client operations.
  IRQL_AT_MOST_DISPATCH VOID OnWriteComplete(NTSTATUS status, BOOLEAN deviceGone) override;
  IRQL_AT_MOST_DISPATCH VOID OnReadComplete(TransferBuffer* buffer) override;
  IRQL_DISPATCH VOID OnReadError(NTSTATUS status, BOOLEAN deviceGone) override;

  // One completed interrupt read, parsed on its own; the read is put out again in every case.
  IRQL_AT_MOST_DISPATCH VOID OnNotification(TransferBuffer* buffer);
  // A notification read of this length filled whole interrupt packets: more may follow.
  BOOLEAN EndsOnPacketBoundary(ULONG received) const;

  SpinLock* AdapterLock;  // held around OnReceiveReady
  UsbTarget Target;
  DescriptorBuffer ConfigurationDescriptor;
  PUCHAR EthernetDescriptor;  // inside ConfigurationDescriptor; null until found
  ConfigurationSelector Selector;
  UCHAR CommunicationInterfaceNumber;  // wIndex of the class requests
  ReadPipe BulkInPipe;
  WritePipe BulkOutPipe;
  ReadPipe NotificationPipe;
  ::NotificationClient NotificationClient;
  UCHAR MacAddress[kEcmMacAddressLength];
  UCHAR MacValid;  // MacAddress holds a valid station address from the device
  DeviceEventSink* Sink;
  PDEVICE_OBJECT DeviceObject;  // the deferred calls' work items are allocated on it
  DeferredCall PowerDeferredCall;
  DeferredCall FilterDeferredCall;
  volatile USHORT EcmPacketFilter;  // stored by SetPacketFilter, read when the request goes out
  // Interlocked. 1 from SetPacketFilter until its request starts: a close that cancels the
  // request leaves it set, and the pipes' next start sends the filter after all.
  volatile LONG FilterUnsent;
  // Interlocked. 1 when the last attempt to queue the filter's request found no work item: the
  // device keeps its old filter, so NeedsReset asks for the reset whose reopen queues it again.
  volatile LONG FilterUnqueued;
  AdapterSettings* Settings;        // the adapter's; only read

  // PipesMutex makes opening and closing the pipes exclusive, whoever asks: the adapter (bring-up,
  // reset, stop) or a power routine. Taken after the adapter's PipeMutex and before any pipe's
  // mutex; never held while waiting for PowerDeferredCall, whose routines take it.
  KMUTEX PipesMutex;
  // PipesMutex. The adapter closed the pipes and has not opened them again: a power-up that runs
  // now (queued before a stop or in the middle of a reset) leaves them closed.
  BOOLEAN PipesClosedByOwner;
  // PipesMutex. A power-down closed the pipes and no power-up has run since: an open by the
  // adapter (a reset's reopen after its close let a power-down in) leaves them to the power-up.
  BOOLEAN PoweredDown;
  // Interlocked. 1 when a power-up could not even be queued: the device is in D0 all the same,
  // so the adapter's next open (a reset's) opens the pipes instead of leaving them to it.
  volatile LONG PowerUpUnqueued;
  // Written under PipesMutex, read by NeedsReset: the last start of the pipes failed, and no
  // close came since.
  UnlockedRead<BOOLEAN> OpenFailed;
  // Bytes of a speed change still to come when the interrupt endpoint split it. Touched only by
  // the notification pipe's deliveries, which never overlap, and before the pipe starts.
  ULONG NotificationRemainder;
  // A read filled its whole buffer: it was part of a frame longer than any the adapter takes,
  // and the reads up to the one that ends short are that frame's rest. Touched only by the
  // bulk-in pipe's deliveries, under AdapterLock.
  BOOLEAN DroppingOversizedFrame;

 private:
  // Start's steps.
  IRQL_PASSIVE PUCHAR FindEthernetDescriptor(const UCHAR* communicationInterface) const;
  IRQL_PASSIVE LONG FindUnionSubordinate(const UCHAR* communicationInterface) const;
  IRQL_PASSIVE VOID ReadMacAddress(UCHAR stringIndex);
  IRQL_PASSIVE NTSTATUS SelectDataInterface(UCHAR* dataInterfaceNumber);
  IRQL_PASSIVE NTSTATUS ConfigurePipes(UCHAR dataInterfaceNumber);
  PUSBD_PIPE_INFORMATION FindBindablePipe(ULONG pipeType, BOOLEAN in, LONG interfaceNumber, LONG alternate);
  // The pipes in and out of service; PipesMutex held.
  IRQL_PASSIVE NTSTATUS StartPipesLocked();
  IRQL_PASSIVE NTSTATUS StopPipesLocked();
  IRQL_PASSIVE NTSTATUS StartEachPipeLocked();
  IRQL_PASSIVE VOID ForgetPipeHandlesLocked();

  static VOID PowerUpRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  static VOID PowerDownRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  static VOID PacketFilterRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  IRQL_AT_MOST_DISPATCH BOOLEAN QueuePacketFilter();
};
