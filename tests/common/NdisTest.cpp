#include "NdisTest.h"

#include "adapter/ErrorLog.h"
#include "driver/MiniportDriver.h"
#include "driver/MiniportHandlers.h"
#include "support/PoolTags.h"

NdisTest::NdisTest() : library_(std::make_unique<emu::ndis::Library>()) {}

void NdisTest::TearDown() {
  bool running = false;
  // A test that leaves an adapter running has its own failure; NDIS would not unload then.
  for (emu::ndis::MiniportState state : library_->miniportStates())
    running |= state == emu::ndis::MiniportState::Running;
  if (running) ADD_FAILURE() << "an adapter was left running";
  else if (library_->driverLoaded()) library_->UnloadDriver();
  EmuTest::TearDown();
  library_.reset();
}

void NdisTest::LoadDriver() { ASSERT_EQ(library_->LoadDriver(DriverEntry), STATUS_SUCCESS); }

Adapter* NdisTest::StartAdapter(emu::ndis::Miniport& miniport, FakeNetworkDevice** device,
                                const std::function<void(FakeNetworkDevice&)>& prepare) {
  Adapter* started = nullptr;
  miniport.InitializeWith([&](NDIS_HANDLE handle, NDIS_HANDLE configuration) -> NDIS_STATUS {
    Adapter* adapter = new (NonPagedPool, kTagAdapter) Adapter(handle);
    if (!adapter) return NDIS_STATUS_RESOURCES;
    NDIS_STATUS status = adapter->ReadSettings(configuration);
    if (status != NDIS_STATUS_SUCCESS) {
      adapter->Destroy(kDestroyFreeMemory);
      return status;
    }
    NdisMSetAttributesEx(handle, adapter, 0, 0xE0, NdisInterfaceInternal);
    PDEVICE_OBJECT physical = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    NdisMGetDeviceProperty(handle, &physical, &adapter->FunctionalDevice, &lower, nullptr, nullptr);
    adapter->Target.PhysicalDevice = physical;
    adapter->Target.LowerDevice = lower;
    auto* fake = new (NonPagedPool, kTagEcmDevice) FakeNetworkDevice();
    if (prepare) prepare(*fake);
    adapter->Device = fake;
    status = adapter->BringUpDevice();
    if (status != NDIS_STATUS_SUCCESS) {
      adapter->Destroy(kDestroyFreeMemory);
      NdisWriteErrorLogEntry(handle, kErrorStart, 1, kStartDeviceFailed);
      return status;
    }
    if (beforeInitializeEnds) beforeInitializeEnds();
    TheMiniportDriver->RegisterAdapter(adapter);
    adapter->FinishInitialize();
    if (device) *device = fake;
    started = adapter;
    return NDIS_STATUS_SUCCESS;
  });
  return started;
}
