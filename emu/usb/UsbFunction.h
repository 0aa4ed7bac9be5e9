// What the emulated bus needs from a simulated USB device: its descriptors, its answers to
// the standard and class requests that reach it over the default control pipe, and its
// endpoints' answers to bulk and interrupt transfers.
#pragma once

#include <platform.h>

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
  bool stall;
  ULONG bytes;       // data stage bytes moved (IN: written to the data buffer)
  bool nak = false;  // the device never answers: the request waits until it is cancelled
};

class UsbFunction {
 public:
  virtual ~UsbFunction() = default;

  // The whole descriptor, or nothing when the device stalls the request.
  virtual std::optional<std::vector<UCHAR>> Descriptor(UCHAR type, UCHAR index, USHORT languageId) = 0;
  // SET_CONFIGURATION (0: unconfigured) and SET_INTERFACE; false stalls.
  virtual bool SetConfiguration(UCHAR value) = 0;
  virtual bool SetInterface(UCHAR number, UCHAR alternate) = 0;
  // A class or vendor request; data holds wLength bytes (OUT data, or room for IN data).
  virtual ControlAnswer ClassOrVendorRequest(const SetupPacket& setup, UCHAR* data) = 0;
  // CLEAR_FEATURE(ENDPOINT_HALT) sent with a pipe reset.
  virtual void ClearHalt(UCHAR endpointAddress) {}
  // A transfer at the head of its endpoint's queue: the device's answer, or none (NAK) to
  // keep it waiting until the device calls Wake. Called under the bus lock.
  virtual std::optional<TransferResult> ServeTransfer(const TransferRequest& request) { return std::nullopt; }

  // Set by the bus the device is plugged into (null when unplugged from the emulator).
  void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }

 protected:
  // An endpoint that turned transfers away can answer now. Never call it holding a lock the
  // bus may take while it calls the device.
  void Wake() {
    if (wake_) wake_();
  }

 private:
  std::function<void()> wake_;
};

}  // namespace emu::usb
