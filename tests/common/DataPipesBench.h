// A simulated ECM device on the emulated bus, configured through the driver's own selector
// with alternate setting 1 of its data interface, so its bulk and interrupt pipes are open.
#pragma once

#include "UsbDeviceBench.h"
#include "usb/ConfigurationSelector.h"
#include "usb/UsbTarget.h"

class DataPipesBench {
 public:
  // The built-in device's endpoints.
  static constexpr UCHAR kInterruptIn = 0x81;
  static constexpr UCHAR kBulkIn = 0x82;
  static constexpr UCHAR kBulkOut = 0x02;
  static constexpr UCHAR kDataInterface = 1;

  explicit DataPipesBench(emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile())
      : bench(std::move(profile)) {
    target.LowerDevice = bench.Pdo();
    target.PhysicalDevice = bench.Pdo();
  }

  NTSTATUS Select() {
    NTSTATUS status = selector.SelectConfiguration(target, 0, 500, 4096);
    if (NT_SUCCESS(status)) status = selector.PrepareSelectInterface(target, kDataInterface, 1, 4096);
    if (NT_SUCCESS(status)) status = selector.SubmitSelectInterface(target, 500);
    return status;
  }
  // Frees the selector's records; call before the kernel checks for leaks.
  void Release() {
    selector.ReleaseAll();
    selector.descriptorCopy.Discard();
  }

  emu::usb::Bus& bus() { return bench.bus(); }
  emu::devices::EcmFunction& device() { return bench.device(); }

  UsbDeviceBench bench;
  UsbTarget target;
  ConfigurationSelector selector;
};
