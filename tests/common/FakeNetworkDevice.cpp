#include "FakeNetworkDevice.h"

#include "support/Wait.h"

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

FakeNetworkDevice::FakeNetworkDevice() = default;

NTSTATUS FakeNetworkDevice::Start(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT physicalDevice,
                                  PDEVICE_OBJECT lowerDevice, DeviceEventSink* sink, AdapterSettings* settings,
                                  SpinLock* adapterLock) {
  calls.push_back("Start");
  started = {functionalDevice, physicalDevice, lowerDevice, sink, settings, adapterLock};
  return startStatus;
}

NTSTATUS FakeNetworkDevice::Stop() {
  Busy busy(*this, "Stop");
  return STATUS_SUCCESS;
}

NTSTATUS FakeNetworkDevice::OpenPipes() {
  Busy busy(*this, "OpenPipes");
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
  return STATUS_SUCCESS;
}

BOOLEAN FakeNetworkDevice::PowerUp() { calls.push_back("PowerUp"); return TRUE; }
BOOLEAN FakeNetworkDevice::PowerDown() { calls.push_back("PowerDown"); return TRUE; }

BOOLEAN FakeNetworkDevice::GetMacAddress(UCHAR* address) {
  calls.push_back("GetMacAddress");
  if (hasMac) memcpy(address, mac, sizeof mac);
  return hasMac;
}

BOOLEAN FakeNetworkDevice::CanSend() { return FALSE; }
TransferBuffer* FakeNetworkDevice::GetSendBuffer() { return nullptr; }
void FakeNetworkDevice::SubmitSendBuffer(TransferBuffer*) { calls.push_back("SubmitSendBuffer"); }
void FakeNetworkDevice::EndSendBatch() { calls.push_back("EndSendBatch"); }
void FakeNetworkDevice::ReleaseSendBuffer(TransferBuffer*) { calls.push_back("ReleaseSendBuffer"); }
void FakeNetworkDevice::ReleaseReceiveBuffer(TransferBuffer* buffer) {
  calls.push_back("ReleaseReceiveBuffer");
  releasedReceiveBuffers.push_back(buffer);
}
void FakeNetworkDevice::ResumeReceive() { calls.push_back("ResumeReceive"); }

ULONG FakeNetworkDevice::GetMaxSegmentSize() {
  calls.push_back("GetMaxSegmentSize");
  return maxSegmentSize;
}

BOOLEAN FakeNetworkDevice::SetPacketFilter(ULONG) { calls.push_back("SetPacketFilter"); return TRUE; }
