#include "adapter/Adapter.h"
#include "driver/MiniportDriver.h"
#include "driver/MiniportHandlers.h"

VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
  CHECK_IRQL_PASSIVE();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  // From here on no media status and no frame is indicated; their timers firing meanwhile do
  // nothing.
  {
    SpinLockGuard guard(adapter->Lock);
    adapter->Initialized = FALSE;
  }
  adapter->StopDevice();
  TheMiniportDriver->UnregisterAdapter(adapter);
  adapter->Destroy(kDestroyFreeMemory);
}
