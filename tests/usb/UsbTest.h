// Fixture of the USB device access tests: a UsbTarget whose next-lower device object is the
// emulated bus with the built-in ECM device (or the device a test plugs in).
#pragma once

#include "EmuTest.h"
#include "UsbDeviceBench.h"
#include "usb/UsbTarget.h"

class UsbTest : public EmuTest {
 protected:
  UsbTest() { Retarget(); }
  void Plug(emu::devices::DeviceProfile profile) {
    bench.Plug(std::move(profile));
    Retarget();
  }
  void Plug(std::unique_ptr<emu::devices::EcmFunction> device) {
    bench.Plug(std::move(device));
    Retarget();
  }
  void PlugConfiguration(emu::devices::Bytes configuration) {
    bench.PlugConfiguration(std::move(configuration));
    Retarget();
  }
  emu::usb::Bus& bus() { return bench.bus(); }
  size_t RequestCount() { return bus().Requests().size(); }

  UsbDeviceBench bench;
  UsbTarget target;

 private:
  void Retarget() {
    target.LowerDevice = bench.Pdo();
    target.PhysicalDevice = bench.Pdo();
  }
};
