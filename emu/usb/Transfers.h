// Bulk and interrupt transfers on the emulated bus: how one ends, when, and what a test or a
// device model sees of one waiting on its pipe.
#pragma once

#include <platform.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace emu::usb {

// How a transfer ends, as a device model or a test decides it.
struct TransferResult {
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  std::vector<UCHAR> data;             // IN: what the device sends; more than the buffer holds is babble
  std::optional<ULONG> moved;          // OUT: bytes the device took; all when not given
  std::optional<NTSTATUS> irpStatus;   // the bus driver's mapping of 'status' when not given

  static TransferResult Data(std::vector<UCHAR> bytes);
  static TransferResult Status(USBD_STATUS status);
  static TransferResult Stall() { return Status(USBD_STATUS_STALL_PID); }
  static TransferResult DeviceGone() { return Status(USBD_STATUS_DEVICE_GONE); }
  // A failed IRP whose URB status says nothing (as a bus driver reports a vanished device).
  static TransferResult IrpFailure(NTSTATUS irpStatus);
};

// When a decided transfer completes.
enum class When {
  Inline,  // in the context that decides it: inside IofCallDriver for a transfer being
           // submitted, in the caller's context for one already waiting
  Dpc,     // from the bus's DPC, in the order the transfers were decided
};

// One entry of a test's script for an endpoint: the next transfer that reaches the device on
// it ends so. delayMs > 0 ends it that much (virtual) time later, from the bus's timer DPC;
// such a transfer is already on the wire, so aborting the pipe no longer cancels it.
struct ScriptedTransfer {
  TransferResult result;
  When when = When::Dpc;
  ULONG delayMs = 0;
};

// A transfer waiting on its pipe, undecided.
struct QueuedTransfer {
  uint64_t id;                // for CompleteTransfer
  UCHAR endpoint;
  ULONG transferFlags;
  ULONG length;               // TransferBufferLength as submitted
  std::vector<UCHAR> data;    // OUT: the bytes submitted
};

// What the device sees of a transfer that reaches it.
struct TransferRequest {
  UCHAR endpoint;              // bEndpointAddress; bit 7 set for IN
  USHORT maximumPacketSize;    // wMaxPacketSize of the endpoint
  ULONG length;                // IN: room in the host's buffer; OUT: bytes sent
  const UCHAR* data;           // OUT: the bytes; IN: null
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
};

}  // namespace emu::usb
