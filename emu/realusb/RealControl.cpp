// Requests over the default control pipe, played to the device synchronously under the bus
// lock: descriptors, configuration and alternate settings (really set, with the interfaces
// claimed anew), class and vendor requests, and clearing an endpoint's halt.
#include <libusb.h>

#include "emu/realusb/LibusbStatus.h"
#include "emu/realusb/RealDevice.h"

namespace emu::realusb {
namespace {

constexpr unsigned kControlTimeoutMs = 5000;
// usbfs takes no control transfer longer than a page; every descriptor the driver reads fits.
constexpr uint16_t kLargestControl = 4096;
constexpr uint8_t kGetDescriptor = 0x06;

}  // namespace

bool RealDevice::ControlFailed(int error) {
  controlFailure_ = UsbdStatusForError(error);
  if (error == LIBUSB_ERROR_NO_DEVICE) SuspectGone();
  return false;
}

std::optional<std::vector<UCHAR>> RealDevice::Descriptor(UCHAR type, UCHAR index, USHORT languageId) {
  std::vector<UCHAR> bytes(kLargestControl);
  int rc = libusb_control_transfer(handle_, LIBUSB_ENDPOINT_IN, kGetDescriptor, static_cast<uint16_t>(type << 8 | index),
                                   languageId, bytes.data(), kLargestControl, kControlTimeoutMs);
  if (rc < 0) {
    ControlFailed(rc);
    return std::nullopt;
  }
  bytes.resize(static_cast<size_t>(rc));
  return bytes;
}

bool RealDevice::SetConfiguration(UCHAR value) {
  // usbfs refuses a new configuration while any interface of the old one is claimed.
  ReleaseInterfaces();
  if (int rc = libusb_set_configuration(handle_, value ? value : -1); rc != 0) return ControlFailed(rc);
  return value == 0 || TakeInterfaces(value) || ControlFailed(LIBUSB_ERROR_BUSY);
}

bool RealDevice::SetInterface(UCHAR number, UCHAR alternate) {
  if (int rc = libusb_set_interface_alt_setting(handle_, number, alternate); rc != 0) return ControlFailed(rc);
  return true;
}

usb::ControlAnswer RealDevice::ClassOrVendorRequest(const usb::SetupPacket& setup, UCHAR* data) {
  if (setup.wLength > kLargestControl) {
    ControlFailed(LIBUSB_ERROR_INVALID_PARAM);
    return usb::ControlAnswer{true, 0};
  }
  int rc = libusb_control_transfer(handle_, setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, data,
                                   setup.wLength, kControlTimeoutMs);
  if (rc < 0) {
    ControlFailed(rc);
    return usb::ControlAnswer{true, 0};
  }
  return usb::ControlAnswer{false, static_cast<ULONG>(rc)};
}

void RealDevice::ClearHalt(UCHAR endpointAddress) {
  if (int rc = libusb_clear_halt(handle_, endpointAddress); rc != 0) ControlFailed(rc);
}

}  // namespace emu::realusb
