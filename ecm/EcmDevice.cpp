// The device object's life, and the operations that only report what Start found.
#include "ecm/EcmDevice.h"

#include "support/MutexGuard.h"

EcmDevice::EcmDevice()
    : AdapterLock(nullptr),
      EthernetDescriptor(nullptr),
      CommunicationInterfaceNumber(0),
      NotificationClient(this),
      MacValid(0),
      Sink(nullptr),
      DeviceObject(nullptr),
      EcmPacketFilter(0),
      FilterUnsent(0),
      FilterUnqueued(0),
      Settings(nullptr),
      PipesClosedByOwner(TRUE),  // closed until the adapter opens them the first time
      PoweredDown(FALSE),
      PowerUpUnqueued(0),
      OpenFailed(FALSE),
      NotificationRemainder(0),
      DroppingOversizedFrame(FALSE) {
  RtlZeroMemory(MacAddress, sizeof MacAddress);
  InitializeMutex(&PipesMutex, "EcmDevice::PipesMutex");
}

// The members go in reverse order of declaration: the two deferred calls first (a power
// routine may be opening the pipes), then the pipes, then selection, descriptor and target.
// The target still leads to the device while the pipes go, so a pipe whose drain gave up can
// keep aborting what it has in flight until it is back.
EcmDevice::~EcmDevice() = default;

void EcmDevice::Destroy(ULONG flags) { DestroyObject(this, flags); }

NTSTATUS EcmDevice::Stop() {
  CHECK_IRQL_PASSIVE();
  // A queued power routine still runs, so the request that started it is completed; the
  // adapter has closed the pipes already, so a power-up leaves them closed.
  PowerDeferredCall.Wait();
  // The close dropped a queued filter request without waiting for its worker, as a power
  // routine must; here, on the owner's thread, the run that calls nothing is waited out too.
  FilterDeferredCall.CancelAndWait();
  MutexGuard guard(PipesMutex);
  PipesClosedByOwner = TRUE;
  NTSTATUS status = Selector.ClearConfiguration(Target, TRUE, kEcmControlTimeoutMs);
  // A device that refused the deconfiguration still has the pipes, and whatever a drain gave up
  // on: the pipes keep their handles, so that the aborts of their release still reach it.
  if (NT_SUCCESS(status)) ForgetPipeHandlesLocked();
  return status;
}

// The pipe handles died with the configuration: the bus driver would refuse an abort or a
// reset naming them, so the pipes let go of the target. A transfer a drain gave up on still
// comes home through its completion routine. Recoveries are waited for first, since they
// reach the target.
VOID EcmDevice::ForgetPipeHandlesLocked() {
  BufferedPipe* pipes[] = {&BulkOutPipe, &BulkInPipe, &NotificationPipe};
  for (BufferedPipe* pipe : pipes) {
    pipe->recoveryCall.CancelAndWait();
    pipe->Unbind();
  }
}

BOOLEAN EcmDevice::GetMacAddress(UCHAR* address) {
  if (MacValid) RtlCopyMemory(address, MacAddress, sizeof MacAddress);
  return MacValid;
}

ULONG EcmDevice::GetMaxSegmentSize() {
  // Start accepts the descriptor only when it reaches wMaxSegmentSize (offset 8).
  if (!EthernetDescriptor) return kDefaultMaxSegmentSize;
  return static_cast<ULONG>(EthernetDescriptor[8]) | static_cast<ULONG>(EthernetDescriptor[9]) << 8;
}
