// Fixture of the ECM device tests: a real EcmDevice on the emulated bus with a simulated ECM
// function, reporting to a sink that records what the adapter would hear and holds received
// buffers as the adapter's receive queue does.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "EcmDescriptors.h"
#include "EmuTest.h"
#include "UsbDeviceBench.h"
#include "ecm/EcmDevice.h"
#include "support/PoolTags.h"
#include "transfer/TransferBuffer.h"

using emu::devices::Bytes;

class RecordingSink : public DeviceEventSink {
 public:
  explicit RecordingSink(SpinLock& adapterLock) : adapterLock_(adapterLock) {}

  void OnLinkStateChanged(BOOLEAN connected) override { links.push_back(connected); }
  void OnLinkSpeedChanged(ULONG downlink, ULONG uplink) override { speeds.emplace_back(downlink, uplink); }
  void OnTransmitReady() override {
    ++transmitReady;
    if (duringTransmitReady) duringTransmitReady();
  }
  void OnReceiveReady(TransferBuffer* buffer) override {
    heldUnderLock &= adapterLock_.lock != 0;
    received.emplace_back(buffer->cursorPosition, buffer->cursorPosition + buffer->cursorLength);
    cursors.push_back({buffer->cursorStart == buffer->data.address, buffer->cursorPosition == buffer->cursorStart,
                       buffer->cursorCapacity, buffer->cursorEnd == buffer->cursorStart + buffer->cursorCapacity});
    held.push_back(buffer);
  }
  void OnRequestFinished() override { ++requestsFinished; }
  void OnRequestFinishedAlias() override { OnRequestFinished(); }

  struct Cursor {
    bool startsAtData;
    bool positionAtStart;
    ULONG capacity;
    bool endAtCapacity;
  };
  std::vector<BOOLEAN> links;
  std::vector<std::pair<ULONG, ULONG>> speeds;
  int transmitReady = 0;
  std::function<void()> duringTransmitReady;
  std::vector<Bytes> received;
  std::vector<Cursor> cursors;
  std::vector<TransferBuffer*> held;  // as the adapter's receive queue
  bool heldUnderLock = true;          // every hand-off came with the adapter lock held
  int requestsFinished = 0;

 private:
  SpinLock& adapterLock_;
};

class EcmTest : public EmuTest {
 protected:
  explicit EcmTest(emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile(),
                   emu::Mode mode = emu::Mode::Deterministic)
      : EmuTest(mode), bench(std::move(profile)) {
    device = new (NonPagedPool, kTagEcmDevice) EcmDevice();
  }
  void TearDown() override {
    if (device) {
      device->ClosePipes();
      ReturnReceived();
      device->Stop();
      device->Destroy(kDestroyFreeMemory);
    }
    kernel().RunPending();
    EmuTest::TearDown();
  }
  // A fresh, never started device in place of the current one, which must be stopped.
  void ReplaceDevice() {
    device->Destroy(kDestroyFreeMemory);
    device = new (NonPagedPool, kTagEcmDevice) EcmDevice();
  }
  // Replaces the USB device before Start.
  void Plug(emu::devices::DeviceProfile profile) { bench.Plug(std::move(profile)); }

  NTSTATUS Start() { return device->Start(&fdo, bench.Pdo(), bench.Pdo(), &sink, &settings, &adapterLock); }
  // Started with its pipes open, as the adapter leaves it after bring-up.
  void Open() {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(device->OpenPipes(), STATUS_SUCCESS);
    kernel().RunPending();
  }
  // Gives every held receive buffer back and lets the reads go out again, as the adapter's
  // receive drain does.
  void ReturnReceived() {
    SpinLockGuard guard(adapterLock);
    for (TransferBuffer* buffer : sink.held) device->ReleaseReceiveBuffer(buffer);
    sink.held.clear();
    device->ResumeReceive();
  }
  // Sends a frame of 'length' bytes through the adapter's road: buffer, cursor, submit.
  bool Send(const Bytes& frame) {
    SpinLockGuard guard(adapterLock);
    if (!device->CanSend()) return false;
    TransferBuffer* buffer = device->GetSendBuffer();
    if (!buffer) return false;
    RtlCopyMemory(buffer->cursorPosition, frame.data(), frame.size());
    buffer->cursorPosition += frame.size();
    buffer->cursorLength += static_cast<ULONG>(frame.size());
    device->SubmitSendBuffer(buffer);
    return true;
  }

  emu::usb::Bus& bus() { return bench.bus(); }
  emu::devices::EcmFunction& model() { return bench.device(); }
  // Requests of a function (and, for descriptors, of a type) that reached the bus.
  std::vector<emu::usb::BusRequest> RequestsOf(USHORT function) {
    std::vector<emu::usb::BusRequest> found;
    for (const emu::usb::BusRequest& request : bus().Requests())
      if (request.function == function) found.push_back(request);
    return found;
  }
  size_t StringRequests() {
    size_t count = 0;
    for (const emu::usb::BusRequest& request : RequestsOf(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE))
      count += request.setup && (request.setup->wValue >> 8) == USB_STRING_DESCRIPTOR_TYPE;
    return count;
  }
  size_t Deconfigures() {
    size_t count = 0;
    for (const emu::usb::BusRequest& request : RequestsOf(URB_FUNCTION_SELECT_CONFIGURATION))
      count += request.setup && request.setup->wValue == 0;
    return count;
  }
  std::vector<ULONG> WaitingLengths(UCHAR endpoint) {
    std::vector<ULONG> lengths;
    for (const emu::usb::QueuedTransfer& t : bus().Transfers(endpoint)) lengths.push_back(t.length);
    return lengths;
  }

  UsbDeviceBench bench;
  DEVICE_OBJECT fdo{};
  AdapterSettings settings;
  SpinLock adapterLock{"Adapter::Lock"};
  RecordingSink sink{adapterLock};
  EcmDevice* device = nullptr;
};

// A frame whose bytes count up from 'seed' and whose last byte is never 0, so the device
// model never takes it for a termination byte.
inline Bytes TestFrame(size_t length, UCHAR seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>(seed + i);
  if (length && bytes.back() == 0) bytes.back() = 0xA5;
  return bytes;
}
