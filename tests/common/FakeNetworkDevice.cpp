#include "FakeNetworkDevice.h"

#include <algorithm>

#include "support/Wait.h"
#include "transfer/TransferBuffer.h"

class FakeNetworkDevice::Busy {
 public:
  Busy(FakeNetworkDevice& device, const char* name) : device_(device) {
    device.calls.push_back(name);
    if (device.busy_) ++device.overlaps;
    device.busy_ = true;
  }
  ~Busy() { device_.busy_ = false; }

 private:
  FakeNetworkDevice& device_;
};

namespace {

// Points the frame cursor over the whole data area, as the device hands a buffer over.
void OpenCursor(TransferBuffer* buffer, ULONG length) {
  auto* data = static_cast<PUCHAR>(buffer->data.address);
  buffer->cursorStart = buffer->cursorPosition = data;
  buffer->cursorEnd = data + buffer->data.length;
  buffer->cursorCapacity = buffer->data.length;
  buffer->cursorLength = length;
}

}  // namespace

FakeNetworkDevice::FakeNetworkDevice() = default;

FakeNetworkDevice::~FakeNetworkDevice() { AbortTransfers(); }

NTSTATUS FakeNetworkDevice::Start(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT physicalDevice,
                                  PDEVICE_OBJECT lowerDevice, DeviceEventSink* sink, AdapterSettings* settings,
                                  SpinLock* adapterLock) {
  calls.push_back("Start");
  started = {functionalDevice, physicalDevice, lowerDevice, sink, settings, adapterLock};
  if (!NT_SUCCESS(startStatus)) return startStatus;
  NTSTATUS status = sendPool_.Fill(settings->TxBuffers, kFrameBufferSize, 1);
  if (NT_SUCCESS(status)) status = receivePool_.Fill(settings->RxBuffers, kFrameBufferSize, 1);
  return status;
}

NTSTATUS FakeNetworkDevice::Stop() {
  powerCall_.CancelAndWait();  // as the device forgets a power change not yet started
  Busy busy(*this, "Stop");
  receiveBuffersOutAtStop = receivePool_.createdCount - receivePool_.freeCount;
  return STATUS_SUCCESS;
}

NTSTATUS FakeNetworkDevice::OpenPipes() {
  Busy busy(*this, "OpenPipes");
  if (!NT_SUCCESS(openStatus)) return openStatus;
  pipesOpen_ = true;
  started.sink->OnTransmitReady();  // the bulk-out pipe announces its start
  PutReadsOut();
  if (onOpen) onOpen();
  return openStatus;
}

NTSTATUS FakeNetworkDevice::ClosePipes() {
  Busy busy(*this, "ClosePipes");
  if (onClose) onClose();
  if (closeDelayMs) {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    WaitMilliseconds(&never, closeDelayMs, Executive, KernelMode, FALSE);
  }
  pipesOpen_ = false;
  AbortTransfers();
  return STATUS_SUCCESS;
}

BOOLEAN FakeNetworkDevice::PowerUp() {
  calls.push_back("PowerUp");
  return powerCall_.Queue(started.functionalDevice, PowerUpRoutine, this, nullptr, DelayedWorkQueue);
}

BOOLEAN FakeNetworkDevice::PowerDown() {
  calls.push_back("PowerDown");
  return powerCall_.Queue(started.functionalDevice, PowerDownRoutine, this, nullptr, DelayedWorkQueue);
}

VOID FakeNetworkDevice::PowerUpRoutine(PDEVICE_OBJECT, PVOID context, PVOID) {
  auto* device = static_cast<FakeNetworkDevice*>(context);
  device->OpenPipes();
  device->started.sink->OnRequestFinished();
}

VOID FakeNetworkDevice::PowerDownRoutine(PDEVICE_OBJECT, PVOID context, PVOID) {
  auto* device = static_cast<FakeNetworkDevice*>(context);
  device->ClosePipes();
  device->started.sink->OnRequestFinished();
}

BOOLEAN FakeNetworkDevice::GetMacAddress(UCHAR* address) {
  calls.push_back("GetMacAddress");
  if (hasMac) memcpy(address, mac, sizeof mac);
  return hasMac;
}

BOOLEAN FakeNetworkDevice::CanSend() { return pipesOpen_ && !sendRefused; }

// As the write pipe does, one free buffer always stays back (for a zero-length transfer).
TransferBuffer* FakeNetworkDevice::GetSendBuffer() {
  if (!CanSend() || sendPool_.FreeCountHint() < 2) return nullptr;
  TransferBuffer* buffer = sendPool_.Take();
  OpenCursor(buffer, 0);
  buffer->length = 0;
  return buffer;
}

void FakeNetworkDevice::SubmitSendBuffer(TransferBuffer* buffer) {
  ++framesSubmitted;
  if (recordFrames) submittedFrames.emplace_back(buffer->cursorStart, buffer->cursorStart + buffer->cursorLength);
  buffer->length = buffer->cursorLength;
  writes_.push_back(buffer);
}

void FakeNetworkDevice::EndSendBatch() { ++endSendBatches; }

void FakeNetworkDevice::ReleaseSendBuffer(TransferBuffer* buffer) {
  ++sendBuffersReleased;
  buffer->ReturnToPool();
}

void FakeNetworkDevice::ReleaseReceiveBuffer(TransferBuffer* buffer) {
  if (recordFrames) releasedReceiveBuffers.push_back(buffer);
  buffer->ReturnToPool();
}

void FakeNetworkDevice::ResumeReceive() {
  ++receiveResumes;
  if (pipesOpen_) PutReadsOut();
}

ULONG FakeNetworkDevice::GetMaxSegmentSize() {
  calls.push_back("GetMaxSegmentSize");
  return maxSegmentSize;
}

BOOLEAN FakeNetworkDevice::SetPacketFilter(ULONG ndisPacketFilter) {
  calls.push_back("SetPacketFilter");
  packetFilters.push_back(ndisPacketFilter);
  return TRUE;
}

bool FakeNetworkDevice::DeliverFrame(const std::vector<UCHAR>& frame) {
  if (reads_.empty()) return false;
  TransferBuffer* buffer = reads_.front();
  reads_.pop_front();
  ULONG length = static_cast<ULONG>(std::min<size_t>(frame.size(), buffer->data.length));
  if (length) memcpy(buffer->data.address, frame.data(), length);
  buffer->length = length;
  KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
  {
    SpinLockGuard guard(*started.adapterLock);
    OpenCursor(buffer, length);
    started.sink->OnReceiveReady(buffer);  // the adapter's until it gives it back
  }
  KfLowerIrql(irql);
  return true;
}

size_t FakeNetworkDevice::CompleteWrites(size_t count) {
  size_t completed = 0;
  for (; completed < count && !writes_.empty(); ++completed) {
    TransferBuffer* buffer = writes_.front();
    writes_.pop_front();
    buffer->ReturnToPool();
    KIRQL irql = KfRaiseIrql(DISPATCH_LEVEL);
    started.sink->OnTransmitReady();
    KfLowerIrql(irql);
  }
  return completed;
}

void FakeNetworkDevice::PutReadsOut() {
  while (TransferBuffer* buffer = receivePool_.Take()) reads_.push_back(buffer);
}

// Aborted transfers end without a completion for the adapter.
void FakeNetworkDevice::AbortTransfers() {
  for (TransferBuffer* buffer : writes_) buffer->ReturnToPool();
  for (TransferBuffer* buffer : reads_) buffer->ReturnToPool();
  writes_.clear();
  reads_.clear();
}
