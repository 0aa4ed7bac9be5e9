#include "adapter/Adapter.h"
#include "driver/MiniportDriver.h"
#include "driver/MiniportHandlers.h"

VOID NTAPI MiniportHalt(NDIS_HANDLE MiniportAdapterContext) {
  CHECK_IRQL_PASSIVE();
  auto* adapter = static_cast<Adapter*>(MiniportAdapterContext);
  // From here on no media status is indicated; a media timer firing meanwhile does nothing.
  adapter->Initialized = FALSE;
  adapter->StopDevice();
  TheMiniportDriver->UnregisterAdapter(adapter);
  adapter->Destroy(kDestroyFreeMemory);
}
