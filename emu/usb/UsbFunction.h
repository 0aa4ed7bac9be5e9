// What the emulated bus needs from a simulated USB device: its descriptors, its answers to
// the standard and class requests that reach it over the default control pipe, and its
// endpoints' answers to bulk and interrupt transfers.
#pragma once

#include <platform.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "emu/usb/Transfers.h"

namespace emu::usb {

struct SetupPacket {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
};

constexpr UCHAR kRequestDirectionIn = 0x80;  // bmRequestType bit 7: device to host

struct ControlAnswer {
  bool stall;        // or failed otherwise: see ControlFailure
  ULONG bytes;       // data stage bytes moved (IN: written to the data buffer)
  bool nak = false;  // the device never answers: the request waits until it is cancelled
};

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;

  // The whole descriptor, or nothing when the device stalls (fails) the request.
  virtual std::optional<std::vector<UCHAR>> Descriptor(UCHAR type, UCHAR index, USHORT languageId) = 0;
  // SET_CONFIGURATION (0: unconfigured) and SET_INTERFACE; false stalls (fails).
  virtual bool SetConfiguration(UCHAR value) = 0;
  virtual bool SetInterface(UCHAR number, UCHAR alternate) = 0;
  // A class or vendor request; data holds wLength bytes (OUT data, or room for IN data).
  virtual ControlAnswer ClassOrVendorRequest(const SetupPacket& setup, UCHAR* data) = 0;
  // How the last control request that failed (stalled, above) ended on the wire: a simulated
  // device only stalls, a real one may also time out or be gone.
  virtual USBD_STATUS ControlFailure() { return USBD_STATUS_STALL_PID; }
  // CLEAR_FEATURE(ENDPOINT_HALT) sent with a pipe reset.
  virtual void ClearHalt(UCHAR endpointAddress) {}
  // A transfer at the head of its endpoint's queue: the device's answer, or none (NAK) to
  // keep it waiting until the device calls Wake. Called under the bus lock.
  virtual std::optional<TransferResult> ServeTransfer(const TransferRequest& request) { return std::nullopt; }

  // A device with queues of its own (a real one) is handed every transfer as it arrives,
  // several per pipe, instead of being asked about the oldest one of a pipe; it ends each
  // through Finish, in its own order per endpoint. Called under the bus lock.
  virtual bool QueuesTransfers() const { return false; }
  virtual void StartTransfer(uint64_t id, const TransferRequest& request) {}
  // The bus ended a started transfer itself (cancel, abort, reselection, removal): whatever the
  // device still does with it is no longer the host's. Called under the bus lock.
  virtual void StopTransfer(uint64_t id) {}

  // Set by the bus the device is plugged into (null when unplugged from the emulator).
  void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }
  void SetFinish(std::function<void(uint64_t, const TransferResult&)> finish) { finish_ = std::move(finish); }

 protected:
  // An endpoint that turned transfers away can answer now. Never call it holding a lock the
  // bus may take while it calls the device.
  void Wake() {
    if (wake_) wake_();
  }
  // A started transfer ended on the device. Never call it holding a lock the bus may take
  // while it calls the device; an id the bus has ended already is ignored.
  void Finish(uint64_t id, const TransferResult& result) {
    if (finish_) finish_(id, result);
  }

 private:
  std::function<void()> wake_;
  std::function<void(uint64_t, const TransferResult&)> finish_;
};

}  // namespace emu::usb
