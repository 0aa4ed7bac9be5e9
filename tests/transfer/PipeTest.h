// Fixture of the pipe tests: the built-in ECM device with its data pipes open, a functional
// device object for work items, and clients and a bare pipe that record what they are given.
#pragma once

#include "DataPipesBench.h"
#include "EmuTest.h"

#include <functional>
#include <utility>
#include <vector>

#include "transfer/ReadPipe.h"
#include "transfer/TransferBufferPool.h"
#include "transfer/UsbPipe.h"
#include "transfer/WritePipe.h"

constexpr UCHAR kBulkIn = DataPipesBench::kBulkIn;
constexpr UCHAR kBulkOut = DataPipesBench::kBulkOut;
constexpr ULONG kFrameBuffer = 1536;

inline std::vector<UCHAR> Frame(size_t length, UCHAR seed) {
  std::vector<UCHAR> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<UCHAR>(seed + i);
  return bytes;
}

// A bare pipe on the bulk IN endpoint with a pool of its own: it records the order in which
// delivery hands it buffers (by creation index) and gives each back to its pool.
class ProbePipe : public UsbPipe {
 public:
  ProbePipe() : UsbPipe(TRUE) {}
  ~ProbePipe() { WaitUntilIdle(); }  // before the pool goes

  VOID OnTransferComplete(TransferBuffer* buffer) override {
    delivered.push_back(buffer->index);
    deliveryIrql = KeGetCurrentIrql();
    if (duringDelivery) duringDelivery(buffer);
    buffer->ReturnToPool();
  }
  VOID PrepareRead(TransferBuffer* buffer) {
    FillTransferUrb(buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer->data.length,
                    buffer->data.mdl);
  }
  // Takes a buffer and submits it as a read; the buffer, or null when the pool is empty.
  TransferBuffer* SubmitRead() {
    TransferBuffer* buffer = pool.Take();
    if (!buffer) return nullptr;
    PrepareRead(buffer);
    Submit(buffer);
    return buffer;
  }

  TransferBufferPool pool;
  std::vector<ULONG> delivered;
  KIRQL deliveryIrql = PASSIVE_LEVEL;
  std::function<void(TransferBuffer*)> duringDelivery;
};

// A lower driver that completes every IRP inside its dispatch routine (successfully, at the
// caller's IRQL) and runs the test's hooks around that, still inside IofCallDriver: what a
// submitter can meet between handing its IRP down and getting the call back.
class InlineLowerDevice {
 public:
  InlineLowerDevice() {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_.DriverObject = &driver_;
    device_.DeviceExtension = this;
    device_.StackSize = 1;
  }
  PDEVICE_OBJECT device() { return &device_; }

  std::function<void()> beforeCompletion;
  std::function<void()> afterCompletion;

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<InlineLowerDevice*>(device->DeviceExtension);
    if (self->beforeCompletion) self->beforeCompletion();
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (self->afterCompletion) self->afterCompletion();
    return STATUS_SUCCESS;
  }

  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
};

class RecordingReadClient : public ReadPipeClient {
 public:
  VOID OnReadComplete(TransferBuffer* buffer) override {
    frames.emplace_back(static_cast<PUCHAR>(buffer->data.address),
                        static_cast<PUCHAR>(buffer->data.address) + buffer->length);
    if (giveBack) {
      buffer->ReturnToPool();
      if (resume) resume->ResumeReads();
    } else {
      held.push_back(buffer);
    }
  }
  VOID OnReadError(NTSTATUS status, BOOLEAN deviceGone) override { errors.emplace_back(status, deviceGone); }
  void ReturnAll() {
    for (TransferBuffer* buffer : held) buffer->ReturnToPool();
    held.clear();
  }

  bool giveBack = false;       // return each buffer at once...
  ReadPipe* resume = nullptr;  // ...and resume reads on this pipe
  std::vector<std::vector<UCHAR>> frames;
  std::vector<TransferBuffer*> held;
  std::vector<std::pair<NTSTATUS, BOOLEAN>> errors;
};

class RecordingWriteClient : public WritePipeClient {
 public:
  VOID OnWriteComplete(NTSTATUS status, BOOLEAN deviceGone) override { completions.emplace_back(status, deviceGone); }
  std::vector<std::pair<NTSTATUS, BOOLEAN>> completions;
};

class PipeTest : public EmuTest {
 protected:
  PipeTest() { EXPECT_EQ(pipes.Select(), STATUS_SUCCESS); }
  void TearDown() override {
    pipes.Release();
    EmuTest::TearDown();
  }

  emu::usb::Bus& bus() { return pipes.bus(); }
  emu::devices::EcmFunction& device() { return pipes.device(); }
  UsbTarget& target() { return pipes.target; }
  ConfigurationSelector& selector() { return pipes.selector; }
  // Requests of the function that reached the bus for the endpoint.
  size_t RequestsTo(USHORT function, UCHAR endpoint) {
    size_t count = 0;
    for (const emu::usb::BusRequest& request : bus().Requests())
      count += request.function == function && request.endpoint == endpoint;
    return count;
  }
  size_t Waiting(UCHAR endpoint) { return bus().QueuedTransfers(endpoint); }
  uint64_t WaitingId(UCHAR endpoint, size_t position) { return bus().Transfers(endpoint).at(position).id; }

  DataPipesBench pipes;
  DEVICE_OBJECT fdo{};  // the owner's device object, on which work items are allocated
};
