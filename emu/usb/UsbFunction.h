// What the emulated bus needs from a simulated USB device: its descriptors and its answers
// to the standard and class requests that reach it over the default control pipe.
#pragma once

#include <platform.h>

#include <optional>
#include <vector>

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
  ULONG bytes;  // data stage bytes moved (IN: written to the data buffer)
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
};

}  // namespace emu::usb
