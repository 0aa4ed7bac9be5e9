// The NDIS wrapper and miniport registration, over the emulated library.
#include "emu/kernel/Kernel.h"
#include "emu/ndis/Library.h"

using emu::ndis::Library;

namespace {

void RequirePassive(const char* function) {
  if (emu::CurrentContext().irql != PASSIVE_LEVEL)
    emu::Kernel::Current().verifier().Report("irql", std::string(function) + " above PASSIVE_LEVEL");
}

}  // namespace

extern "C" {

VOID NTAPI NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific1, PVOID SystemSpecific2,
                                 PVOID SystemSpecific3) {
  RequirePassive("NdisInitializeWrapper");
  Library::Current().OnInitializeWrapper(NdisWrapperHandle, SystemSpecific1, SystemSpecific2);
}

NDIS_STATUS NTAPI NdisMRegisterMiniport(NDIS_HANDLE NdisWrapperHandle,
                                        PNDIS_MINIPORT_CHARACTERISTICS MiniportCharacteristics,
                                        UINT CharacteristicsLength) {
  RequirePassive("NdisMRegisterMiniport");
  return Library::Current().OnRegisterMiniport(NdisWrapperHandle, MiniportCharacteristics, CharacteristicsLength);
}

VOID NTAPI NdisMRegisterUnloadHandler(NDIS_HANDLE NdisWrapperHandle, PDRIVER_UNLOAD UnloadHandler) {
  RequirePassive("NdisMRegisterUnloadHandler");
  Library::Current().OnRegisterUnload(NdisWrapperHandle, UnloadHandler);
}

VOID NTAPI NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID SystemSpecific) {
  RequirePassive("NdisTerminateWrapper");
  Library::Current().OnTerminateWrapper(NdisWrapperHandle);
}

}  // extern "C"
