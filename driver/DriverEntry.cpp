// Loading: the driver record, the NDIS wrapper and the NDIS 5.1 handler table.
#include "driver/MiniportDriver.h"
#include "driver/MiniportHandlers.h"
#include "support/PoolTags.h"

namespace {

INIT_CODE void FillCharacteristics(NDIS_MINIPORT_CHARACTERISTICS& table) {
  RtlZeroMemory(&table, sizeof table);
  NDIS30_MINIPORT_CHARACTERISTICS& ndis30 = table.Ndis50Chars.Ndis40Chars.Ndis30Chars;
  ndis30.MajorNdisVersion = 5;
  ndis30.MinorNdisVersion = 1;
  ndis30.CheckForHangHandler = MiniportCheckForHang;
  ndis30.HaltHandler = MiniportHalt;
  ndis30.InitializeHandler = MiniportInitialize;
  ndis30.QueryInformationHandler = MiniportQueryInformation;
  ndis30.ResetHandler = MiniportReset;
  ndis30.SetInformationHandler = MiniportSetInformation;
  ndis30.TransferDataHandler = MiniportTransferData;
  table.Ndis50Chars.Ndis40Chars.SendPacketsHandler = MiniportSendPackets;
  table.PnPEventNotifyHandler = MiniportPnPEventNotify;
  table.AdapterShutdownHandler = MiniportShutdown;
}

}  // namespace

extern "C" INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  CHECK_IRQL_PASSIVE();
  MiniportDriver* driver = new (NonPagedPool, kTagDriverRecord) MiniportDriver();
  if (!driver) return STATUS_INSUFFICIENT_RESOURCES;
  TheMiniportDriver = driver;
  NdisMInitializeWrapper(&driver->WrapperHandle, DriverObject, RegistryPath, nullptr);
  NDIS_MINIPORT_CHARACTERISTICS table;  // the NDIS 5.1 layout
  FillCharacteristics(table);
  if (NdisMRegisterMiniport(driver->WrapperHandle, &table, sizeof table) != NDIS_STATUS_SUCCESS) {
    NdisTerminateWrapper(driver->WrapperHandle, nullptr);
    // No unload routine is registered, so nothing else would free the record.
    TheMiniportDriver = nullptr;
    driver->Destroy(kDestroyFreeMemory);
    return STATUS_UNSUCCESSFUL;
  }
  NdisMRegisterUnloadHandler(driver->WrapperHandle, MiniportUnload);
  return STATUS_SUCCESS;
}

// NDIS halts every adapter before it unloads the driver, so the list is empty here.
VOID NTAPI MiniportUnload(PDRIVER_OBJECT DriverObject) {
  CHECK_IRQL_PASSIVE();
  MiniportDriver* driver = TheMiniportDriver;
  if (!driver) return;
  DRIVER_VERIFY(driver->Adapters.IsEmpty());
  TheMiniportDriver = nullptr;
  driver->Destroy(kDestroyFreeMemory);
}
