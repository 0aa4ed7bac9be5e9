// A simulated USB device plugged into the emulated bus, for tests of anything that talks to
// the device through its next-lower device object (bus.Pdo()).
#pragma once

#include <memory>

#include "emu/devices/EcmFunction.h"
#include "emu/usb/Bus.h"

class UsbDeviceBench {
 public:
  explicit UsbDeviceBench(emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile()) {
    Plug(std::move(profile));
  }
  // Replaces the device (and its bus) with one built from the profile.
  void Plug(emu::devices::DeviceProfile profile) {
    Plug(std::make_unique<emu::devices::EcmFunction>(std::move(profile)));
  }
  // A device model of the test's own (one that answers some requests its own way).
  void Plug(std::unique_ptr<emu::devices::EcmFunction> device) {
    bus_.reset();
    device_ = std::move(device);
    bus_ = std::make_unique<emu::usb::Bus>(*device_);
  }
  // The built-in device with configuration index 0 replaced by these bytes, as they are.
  void PlugConfiguration(emu::devices::Bytes configuration) {
    emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile();
    profile.configurations[0] = std::move(configuration);
    Plug(std::move(profile));
  }

  emu::devices::EcmFunction& device() { return *device_; }
  emu::usb::Bus& bus() { return *bus_; }
  PDEVICE_OBJECT Pdo() { return bus_->Pdo(); }

 private:
  std::unique_ptr<emu::devices::EcmFunction> device_;
  std::unique_ptr<emu::usb::Bus> bus_;
};
