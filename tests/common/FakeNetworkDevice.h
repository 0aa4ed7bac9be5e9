// A NetworkDevice that records the adapter's calls and answers as the test sets it up. It
// reports when two pipe operations (OpenPipes, ClosePipes, Stop) overlap.
#pragma once

#include <platform.h>

#include <functional>
#include <string>
#include <vector>

#include "ecm/NetworkDevice.h"

class FakeNetworkDevice : public NetworkDevice {
 public:
  FakeNetworkDevice();
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

  // Answers.
  ULONG maxSegmentSize = 1514;
  NTSTATUS startStatus = STATUS_SUCCESS;
  NTSTATUS openStatus = STATUS_SUCCESS;
  bool hasMac = false;
  UCHAR mac[6] = {};
  ULONG closeDelayMs = 0;  // ClosePipes takes this long (virtual time)
  std::function<void()> onClose;  // runs inside ClosePipes

  // What happened, in order: "OpenPipes", "ClosePipes", "Stop", ...
  std::vector<std::string> calls;
  int overlaps = 0;  // pipe operations entered while another ran
  std::vector<TransferBuffer*> releasedReceiveBuffers;
  struct StartArguments {
    PDEVICE_OBJECT functionalDevice, physicalDevice, lowerDevice;
    DeviceEventSink* sink;
    AdapterSettings* settings;
    SpinLock* adapterLock;
  } started = {};

 private:
  class Busy;
  bool busy_ = false;
};
