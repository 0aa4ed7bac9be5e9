// A NetworkDevice that records the adapter's calls and answers as the test sets it up. Its data
// side behaves as the USB function's pipes do: send and receive buffers come from real
// transfer buffer pools, writes stay in flight and reads stay out until the test completes
// them, and power changes run on a work item. It reports when two pipe operations (OpenPipes,
// ClosePipes, Stop) overlap.
#pragma once

#include <platform.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ecm/NetworkDevice.h"
#include "support/DeferredCall.h"
#include "transfer/TransferBufferPool.h"

class FakeNetworkDevice : public NetworkDevice {
 public:
  FakeNetworkDevice();
  ~FakeNetworkDevice();
  void Destroy(ULONG flags) override { DestroyObject(this, flags); }

  NTSTATUS Start(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT physicalDevice, PDEVICE_OBJECT lowerDevice,
                 DeviceEventSink* sink, AdapterSettings* settings, SpinLock* adapterLock) override;
  NTSTATUS Stop() override;
  NTSTATUS OpenPipes() override;
  NTSTATUS ClosePipes() override;
  BOOLEAN PowerUp() override;
  BOOLEAN PowerDown() override;
  BOOLEAN GetMacAddress(UCHAR* address) override;
  BOOLEAN CanSend() override;
  TransferBuffer* GetSendBuffer() override;
  void SubmitSendBuffer(TransferBuffer* buffer) override;
  void EndSendBatch() override;
  void ReleaseSendBuffer(TransferBuffer* buffer) override;
  void ReleaseReceiveBuffer(TransferBuffer* buffer) override;
  void ResumeReceive() override;
  ULONG GetMaxSegmentSize() override;
  BOOLEAN SetPacketFilter(ULONG ndisPacketFilter) override;
  // Asked by NDIS's hang check every few seconds: not recorded among the calls.
  BOOLEAN NeedsReset() override { return needsReset; }

  // The device's side, as the bus would complete its transfers (at DISPATCH_LEVEL).
  // A frame received by the oldest outstanding read; false when no read is out.
  bool DeliverFrame(const std::vector<UCHAR>& frame);
  // Completes up to 'count' of the oldest writes successfully, each reporting
  // OnTransmitReady; returns how many.
  size_t CompleteWrites(size_t count = SIZE_MAX);
  size_t readsOutstanding() const { return reads_.size(); }
  size_t writesInFlight() const { return writes_.size(); }
  ULONG freeSendBuffers() const { return sendPool_.FreeCountHint(); }

  // Answers.
  ULONG maxSegmentSize = 1514;
  NTSTATUS startStatus = STATUS_SUCCESS;
  NTSTATUS openStatus = STATUS_SUCCESS;
  BOOLEAN needsReset = FALSE;  // what NeedsReset answers
  bool hasMac = false;
  UCHAR mac[6] = {};
  bool sendRefused = false;       // CanSend false although the pipes are open
  ULONG closeDelayMs = 0;         // ClosePipes takes this long (virtual time)
  std::function<void()> onClose;  // runs inside ClosePipes
  std::function<void()> onOpen;   // runs at the end of a successful OpenPipes

  // What happened. Control operations in order: "OpenPipes", "ClosePipes", "Stop", ...
  std::vector<std::string> calls;
  int overlaps = 0;  // pipe operations entered while another ran
  std::vector<ULONG> packetFilters;
  // The data path.
  std::vector<std::vector<UCHAR>> submittedFrames;
  bool recordFrames = true;  // long runs switch it off and count instead
  size_t framesSubmitted = 0;
  size_t sendBuffersReleased = 0;
  size_t endSendBatches = 0;
  size_t receiveResumes = 0;
  std::vector<TransferBuffer*> releasedReceiveBuffers;
  size_t receiveBuffersOutAtStop = 0;  // handed to the adapter and not given back by Stop
  struct StartArguments {
    PDEVICE_OBJECT functionalDevice, physicalDevice, lowerDevice;
    DeviceEventSink* sink;
    AdapterSettings* settings;
    SpinLock* adapterLock;
  } started = {};

 private:
  class Busy;
  static VOID PowerUpRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  static VOID PowerDownRoutine(PDEVICE_OBJECT deviceObject, PVOID context, PVOID argument);
  void PutReadsOut();
  void AbortTransfers();

  bool busy_ = false;
  bool pipesOpen_ = false;
  TransferBufferPool sendPool_;
  TransferBufferPool receivePool_;
  std::deque<TransferBuffer*> writes_;  // submitted, not yet completed
  std::deque<TransferBuffer*> reads_;   // out as reads, oldest first
  DeferredCall powerCall_;
};
