// Keeps reads outstanding on an IN endpoint: every free buffer of the pool is out as a read,
// and each completed read goes to the ReadPipeClient, in order. A read is never resubmitted
// on its own: the client returns the buffer and calls ResumeReads.
#pragma once

#include "transfer/BufferedPipe.h"
#include "transfer/PipeClients.h"

class ReadPipe : public BufferedPipe {
 public:
  ReadPipe() : BufferedPipe(TRUE) {}
  ~ReadPipe() { StopForRelease(); }
  void Destroy(ULONG flags) override;
  IRQL_AT_MOST_DISPATCH VOID OnTransferComplete(TransferBuffer* buffer) override;
  // Enables, resets when asked (500 ms) and, when that succeeded, starts reading.
  IRQL_PASSIVE NTSTATUS StartPipe(BOOLEAN resetFirst) override;

  IRQL_PASSIVE NTSTATUS Configure(UsbTarget& usbTarget, ConfigurationSelector& selector, UCHAR endpointAddress,
                                  PDEVICE_OBJECT deviceObject, ReadPipeClient* readClient, ULONG count,
                                  ULONG size) {
    return BufferedPipe::Configure(usbTarget, selector, endpointAddress, deviceObject, readClient, count, size);
  }
  // Submits every free buffer as a read; nothing while stopped or after the device went.
  IRQL_AT_MOST_DISPATCH VOID ResumeReads();

 private:
  ReadPipeClient* Client() const { return static_cast<ReadPipeClient*>(client); }
  VOID SubmitReadsLocked();
};
