// The operation table through which an adapter reaches its USB function, and the only one:
// the adapter owns the device through a NetworkDevice pointer and destroys it with Destroy(1).
#pragma once

#include <platform.h>

#include "adapter/AdapterSettings.h"
#include "adapter/DeviceEventSink.h"
#include "support/Annotations.h"
#include "support/Memory.h"
#include "support/SpinLock.h"

class TransferBuffer;

// Data bytes of every send and receive buffer the device hands the adapter: one Ethernet
// frame each.
constexpr ULONG kFrameBufferSize = 1536;

class NetworkDevice : public PoolObject {
 public:
  virtual void Destroy(ULONG flags) = 0;  // deleting destructor; bit 0 frees the memory

  // Keeps the sink, settings and adapter lock; they must outlive the device.
  IRQL_PASSIVE virtual NTSTATUS Start(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT physicalDevice,
                                      PDEVICE_OBJECT lowerDevice, DeviceEventSink* sink,
                                      AdapterSettings* settings, SpinLock* adapterLock) = 0;
  IRQL_PASSIVE virtual NTSTATUS Stop() = 0;
  IRQL_PASSIVE virtual NTSTATUS OpenPipes() = 0;
  // Returns when the pipes have stopped; harmless on pipes already closed.
  IRQL_PASSIVE virtual NTSTATUS ClosePipes() = 0;
  // Power changes only queue work and say whether it was queued; adapter lock held.
  IRQL_DISPATCH virtual BOOLEAN PowerUp() = 0;
  IRQL_DISPATCH virtual BOOLEAN PowerDown() = 0;
  // Writes the 6 bytes only when the device supplied a valid address.
  virtual BOOLEAN GetMacAddress(UCHAR* address) = 0;
  // The send and receive operations run with the adapter lock held.
  IRQL_DISPATCH virtual BOOLEAN CanSend() = 0;
  IRQL_DISPATCH virtual TransferBuffer* GetSendBuffer() = 0;
  IRQL_DISPATCH virtual void SubmitSendBuffer(TransferBuffer* buffer) = 0;
  IRQL_DISPATCH virtual void EndSendBatch() = 0;
  IRQL_DISPATCH virtual void ReleaseSendBuffer(TransferBuffer* buffer) = 0;
  IRQL_DISPATCH virtual void ReleaseReceiveBuffer(TransferBuffer* buffer) = 0;
  IRQL_DISPATCH virtual void ResumeReceive() = 0;
  virtual ULONG GetMaxSegmentSize() = 0;
  IRQL_DISPATCH virtual BOOLEAN SetPacketFilter(ULONG ndisPacketFilter) = 0;
  // TRUE when only a reset can bring the device back to what the adapter has: pipes that should
  // carry traffic and cannot start again, or a packet filter whose request could not be queued.
  IRQL_AT_MOST_DISPATCH virtual BOOLEAN NeedsReset() = 0;

 protected:
  ~NetworkDevice() = default;  // only Destroy destroys
};
