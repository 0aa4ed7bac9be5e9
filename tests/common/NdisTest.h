// Fixture for the driver on the emulated NDIS library: the driver is loaded in SetUp and
// unloaded at the end (with the library's checks) when every adapter has been halted.
#pragma once

#include <functional>
#include <memory>

#include "EmuTest.h"
#include "FakeNetworkDevice.h"
#include "adapter/Adapter.h"
#include "emu/ndis/Library.h"

class NdisTest : public EmuTest {
 protected:
  NdisTest();
  void TearDown() override;

  emu::ndis::Library& library() { return *library_; }
  // Loads the driver (DriverEntry) and expects success.
  void LoadDriver();

  // Initializes an adapter the way MiniportInitialize does, with the fake in place of the USB
  // function the bring-up cannot create yet: settings, attributes and device objects, then
  // the device's start, pipes and address. Null when the bring-up failed (the adapter is then
  // destroyed and initialization fails as MiniportInitialize fails it).
  // 'prepare' may set up the fake before the bring-up uses it.
  Adapter* StartAdapter(emu::ndis::Miniport& miniport, FakeNetworkDevice** device = nullptr,
                        const std::function<void(FakeNetworkDevice&)>& prepare = nullptr);

  // Runs after the device is brought up, before initialization has finished: what another
  // processor may do meanwhile.
  std::function<void()> beforeInitializeEnds;

 private:
  std::unique_ptr<emu::ndis::Library> library_;
};
