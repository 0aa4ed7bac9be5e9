// The harness of the fuzz targets that need the whole driver: a fresh emulated kernel, the
// emulated NDIS library with the driver loaded, and one adapter bound to a simulated ECM
// device on the emulated bus, as `ecmemu run` sets them up. Each input gets its own bench, so
// a finding replays from its input alone. Finish() halts what runs, unloads the driver and
// turns whatever the verifier or the leak check found into a finding.
#pragma once

#include <memory>

#include "FuzzChecks.h"
#include "UsbDeviceBench.h"
#include "adapter/Adapter.h"
#include "emu/ndis/Library.h"

class DriverBench {
 public:
  explicit DriverBench(emu::devices::DeviceProfile profile = emu::devices::DefaultEcmProfile());
  ~DriverBench();
  DriverBench(const DriverBench&) = delete;
  DriverBench& operator=(const DriverBench&) = delete;

  emu::Kernel& kernel() { return kernel_; }
  emu::ndis::Miniport& miniport() { return *miniport_; }
  emu::devices::EcmFunction& device() { return usb_.device(); }
  emu::usb::Bus& bus() { return usb_.bus(); }

  // MiniportInitialize with the registry as it is now; the adapter, or null when it failed.
  Adapter* Initialize();
  // Lets that much virtual time pass, running whatever becomes due.
  void Settle(ULONG ms);
  // Lets time pass until no set request and no reset pends; one that never completes is a finding.
  void SettleRequests();
  // An OID whose four-byte answer must succeed.
  ULONG QueryUlong(NDIS_OID oid);
  // Halts a running adapter as NDIS does, then unloads the driver and checks the kernel.
  void Finish();

 private:
  emu::Kernel kernel_;  // first: outlives everything below
  std::unique_ptr<emu::ndis::Library> library_;
  UsbDeviceBench usb_;
  emu::ndis::Miniport* miniport_;
};
