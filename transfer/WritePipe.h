// Sends buffers that the client's owner filled on an OUT endpoint, follows a write that ends
// exactly on a packet boundary with a zero-length transfer, and tells the WritePipeClient
// when a write has completed. The last free buffer is never handed out, so that zero-length
// transfer always has one.
#pragma once

#include "transfer/BufferedPipe.h"
#include "transfer/PipeClients.h"

class WritePipe : public BufferedPipe {
 public:
  WritePipe() : BufferedPipe(FALSE) {}
  ~WritePipe() { StopForRelease(); }
  void Destroy(ULONG flags) override;
  IRQL_AT_MOST_DISPATCH VOID OnTransferComplete(TransferBuffer* buffer) override;
  // STATUS_UNSUCCESSFUL once the device is gone; otherwise enables, resets when asked (500 ms)
  // and, when that succeeded, announces itself with OnWriteComplete before returning.
  IRQL_PASSIVE NTSTATUS StartPipe(BOOLEAN resetFirst) override;

  IRQL_PASSIVE NTSTATUS Configure(UsbTarget& usbTarget, ConfigurationSelector& selector, UCHAR endpointAddress,
                                  PDEVICE_OBJECT deviceObject, WritePipeClient* writeClient, ULONG count,
                                  ULONG size) {
    return BufferedPipe::Configure(usbTarget, selector, endpointAddress, deviceObject, writeClient, count, size);
  }
  // A free buffer to fill, or null while not started, recovering, after the device went, or
  // with fewer than two free buffers. The caller hands it to SubmitWrite or returns it.
  IRQL_AT_MOST_DISPATCH TransferBuffer* AcquireBuffer();
  // Sends buffer->length bytes of its data; the pipe owns the buffer from here.
  IRQL_AT_MOST_DISPATCH VOID SubmitWrite(TransferBuffer* buffer);
  // The device ends a frame only at a short packet: TRUE when a write of 'length' bytes is
  // whole packets and so needs something behind it. Never for a pipe that reports packets of
  // 0 bytes, which cannot be divided by.
  BOOLEAN EndsOnPacketBoundary(ULONG length) const;

 private:
  WritePipeClient* Client() const { return static_cast<WritePipeClient*>(client); }
};
